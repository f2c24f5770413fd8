// Inflate stream: one table of hex inputs, each valid construct and each invalid one, decoded in every read pattern;
// the stream behaviour (self-removal, end flag, the bytes after the data, close with drain) and round trips through our
// own encoders with every read pattern. Runs on every platform (no peer library needed).
#include <gtest/gtest.h>

#include "test_inflate_helpers.h"
#include "test_text_helpers.h"

using namespace inflatetest;

namespace {

// How a decode ends.
enum Outcome {
  failed = -1,   // a read returns -1
  ended = 0,     // the output stops without the end flag; the level stays
  finished = 1,  // the end flag is set and the level removes itself
};

// One decode: the input, what the log must hold, the bytes it gives and how it ends, then a trailer readable after it.
struct Vector {
  int format;
  std::string hex;
  const char* message;  // log texts, separated by '|' ("": not checked)
  std::string out;
  Outcome outcome;
  const char* trailer = "";
};

std::string c8(size_t n) { return std::string(n, '\xC8'); }
std::string times(int n, const std::string& s) { return n ? s + times(n - 1, s) : ""; }

constexpr int RAW = INFLATE_FORMAT_RAW, ZLIB = INFLATE_FORMAT_ZLIB, STRICT = INFLATE_FORMAT_ZLIB_STRICT;
const char* const kBadLengths = "code lengths don't add up|Invalid inflater data during dynamic hoffman data";

// High-symbol inputs: "ok", a symbol only HLIT 288 or HDIST 32 can code (286, 287; distance 30, 31), "more", end code.
#define HIGH_SYMBOL_HEAD "FD DF 02 40 18 B0 DB B6 6D DB C8 B6 6D DB B6 6D DB B6 6D DB B6 6D DB B6 DD 6C DB A3 A7 "

const Vector vectors[] = {
    // Stored: LEN and NLEN agree, or not.
    {RAW, "01 00 00 FF FF", "", "", finished, "tail"},
    {RAW, "01 05 00 FA FF 68 65 6C 6C 6F", "", "hello", finished},
    {RAW, "01 05 00 FA FE 68 65 6C 6C 6F", "Uncompressed literal block invalid header checksum", "", failed},
    {RAW, "07 00", "Encountered reserved blocktype 3", "", failed},
    // Fixed: "abc"; six 9-bit literals whose end code starts 7 bits before the end (no 9-bit lookup), raw and wrapped.
    {RAW, "4b 4c 4a 06 00", "", "abc", finished, "XY"},
    {RAW, "3B 71 E2 C4 89 13 27 00", "", c8(6), finished},
    // 'a' then length 258 at distance 1: the last byte repeated 258 times.
    {RAW, "4b 4c 1c f1 00 00", "", std::string(259, 'a'), finished},
    {ZLIB, "78 9C 3B 71 E2 C4 89 13 27 00 10 6E 04 B1", "", c8(6), finished},
    // Five 9-bit literals and an 8-bit one ending exactly at the end of the input, no end code: the tolerant format
    // decodes the last one, the strict one cannot fill the lookup and stops before it.
    {ZLIB, "78 9C 3B 71 E2 C4 89 13 55", "", c8(5) + "z", ended},
    {STRICT, "78 9C 3B 71 E2 C4 89 13 55", "", c8(5), ended},
    // Dynamic: HLIT 288, HDIST 32, one 1-bit distance code (distance 4), valid while 286, 287, 30, 31 never occur.
    {RAW,
     "FD DF B3 61 20 00 00 00 C0 B7 6D DB B6 11 DB B6 6D DB B6 6D DB B6 6D DB B6 6D DB 76 8A 5B 84 9D 83 93 6B CC 00",
     "", "wxyzwxyzwxyz", finished},
    // A repeat (16) as the first code length repeats zero.
    {RAW, "05 E1 B5 0D 00 00 00 02 30 F8 A1 00 C0 FF 1F D0 0E 3E", "", "gad", finished},
    // Code lengths over-subscribed (five 2-bit codes; three 1-bit codes) or incomplete with codes longer than one bit.
    {RAW, "05 C1 05 01 00 00 00 80 20 EB FF 66 01 00 00", kBadLengths, "", failed},
    {RAW, "05 C1 81 00 00 00 00 80 20 D6 F7 87 B8 00 00 00", kBadLengths, "", failed},
    {RAW, "05 C1 81 00 00 00 00 00 10 FC 4F 03 00 00", kBadLengths, "", failed},
    // Two repeats of 138 zeros for 258 lengths; dynamic headers cut short.
    {RAW, "05 C0 81 04 00 00 00 00 80 FF 7F 00 00", "", "", failed},
    {RAW, "6D", "", "", failed},
    {RAW, "6D 56", "", "", failed},
    {RAW, "6D 56 5B 6E DB", "", "", failed},
    {RAW, "6D 56 5B 6E DB 40 0C FC 96 4E", "", "", failed},
    // Symbols beyond the alphabet end the output without a failure.
    {RAW, HIGH_SYMBOL_HEAD "DE A3 A5 67 22 1D 00", "Invalid huffman distance 286", "ok", ended},
    {RAW, HIGH_SYMBOL_HEAD "DE A7 A5 67 22 1D 00", "Invalid huffman distance 287", "ok", ended},
    {RAW, HIGH_SYMBOL_HEAD "1E 7C 00 80 96 9E 89 74 00", "Invalid huffman distance 30", "ok", ended},
    {RAW, HIGH_SYMBOL_HEAD "1E FC 00 80 96 9E 89 74 00", "Invalid huffman distance 31", "ok", ended},
    // Fixed: 24 'a', then 286 with 20 'b' after it, so that a large read meets 286 in its wide loop.
    {RAW, "4B " + times(23, "4C ") + "1C 4B " + times(19, "4A ") + "02", "Invalid huffman distance 286",
     std::string(24, 'a'), ended},
    // Only the end code has a code and the input's 1 bits reach nothing; or no literal has one: the stream ends.
    {RAW, "05 C1 81 00 00 00 00 00 90 FF 6B FC 03", "", "", ended},
    {RAW, "05 C1 81 00 00 00 00 00 90 FF 6C 00 00 00", "", "", ended},
    // No end-of-block code ('p' and 'q' only): every literal, then the end of the input.
    {RAW, "05 C1 21 01 00 00 00 00 90 CB FC 4F 24 49 92 24 49 02", "", "qppqppqppqppqppqppqppqppqppqppqppqppqppqpppppp",
     ended},
    // zlib headers: a bad check, a bad method (also with a good check) and a cut header read as empty; a preset
    // dictionary fails; a wrong checksum is only logged.
    {ZLIB, "78 9D 4B 4C 4A 06 00", "", "", finished},
    {ZLIB, "79 9C 4B", "", "", finished},
    {ZLIB, "78", "", "", finished},
    {ZLIB, "77 09 4B 4C", "Compression method 7 unknown", "", finished},
    {ZLIB, "78 20 01 02 03 04 4B 4C 4A 06 00", "", "", failed},
    {ZLIB, "78 01 4b 4c 4a 06 00 02 4d 01 27", "", "abc", finished, "+"},
    {STRICT, "78 01 4B 4C 4A 06 00 02 4D 01 26", "Checksum 24d0127 != expected 24d0126", "abc", finished, "after"},
};

}  // namespace

TEST(InflateVectors, EveryVectorInEveryReadPattern) {
  int row = 0;
  for (const Vector& v : vectors) {
    row++;
    for (ReadMode mode : {readWhole, readOneByte, readRandomChunks}) {
      SCOPED_TRACE(testing::Message() << "row " << row << " (" << v.hex << ") read mode " << mode);
      InflateLog log;
      Decoded d = decodeStack(fromHex(v.hex.c_str()), v.format, mode, (uint32_t)row, v.trailer);
      const std::string text = log.take();
      EXPECT_EQ(std::tuple(d.out, d.failed, d.endFlag, d.levelGone, *v.trailer ? d.after : v.trailer),
                std::tuple(v.out, v.outcome == failed, v.outcome == finished, v.outcome == finished, v.trailer));
      for (const char *m = v.message, *bar; *m; m = *bar ? bar + 1 : bar) {
        bar = m + strcspn(m, "|");
        EXPECT_TRUE(contains(text, std::string(m, bar))) << text;
      }
    }
  }
}

// A failed stream stays failed, and the level stays for the caller to close; also when the source fails mid-block.
TEST(InflateInvalid, FailuresAreStickyAndKeepTheLevel) {
  std::string data = sampleData(dataRandom, 200000, 4);
  Mock reserved = source(fromHex("07 00"));  // final block of type 3
  Mock broken = source(deflateOwn(data, 0, data.size()), 0, 2);
  InflateLog quiet(logLevelNone);
  for (Mock* src : {&reserved, &broken}) {
    IoStream* s = openInflate(*src);
    Decoded d;
    readLevel(s, d, [](size_t) { return 1u << 16; });
    EXPECT_EQ(std::tuple(d.failed, d.lastGot, d.out.size() < data.size()), std::tuple(true, 0u, true));
    uint32_t got = 99;
    char buf[16];
    EXPECT_EQ((std::tuple{iosRead(s, buf, sizeof buf, &got), got, s->ops}),
              std::tuple(-1, 0u, &inflateInputStreamOps));  // sticky
    closeStack(s);
  }
}

// ---- stream behaviour ----

TEST(InflateStream, StackNameAndZeroLengthRead) {
  Mock src = source(fromHex("4b 4c 4a 06 00"));
  IoStream* s = openInflate(src);
  EXPECT_EQ(std::string(iosTypeName(s)) + " " + iosTypeName(s->next) + " " + iosTypeName(s->next->next),
            "InflateInputStream BufferedInputStream MockIn");
  uint32_t got = 7;
  char buf[8];
  EXPECT_EQ((std::tuple{iosRead(s, buf, 0, &got), got, src.readCalls}), std::tuple(0, 0u, 0));
  EXPECT_EQ((std::tuple{iosRead(s, buf, sizeof buf, &got), std::string(buf, got)}), std::tuple(0, "abc"));
  closeStack(s);
  // A stream that cannot read is refused.
  iostest::MockStream out;  // write only
  InflateLog log;
  EXPECT_EQ(inflateWrapInputStream(out, INFLATE_FORMAT_RAW, nullptr, false), -1);
  expectText(log.take(), {"Performing inflateWrapInputStream operation on MockOut IoStream"});
}

TEST(InflateStream, CloseWithoutEndFlagDrainsToTheEnd) {
  std::string data = sampleData(dataText, 20000, 3);
  Mock src = source(deflateOwn(data, 3, 7000) + "NEXT");
  IoStream* s = openInflate(src);
  char buf[100];
  uint32_t got = 0;
  ASSERT_EQ(iosRead(s, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), data.substr(0, got));
  InflateLog log;
  EXPECT_EQ(iosCloseThisLevel(s), 0);
  expectText(log.take(),
             {("Inflation resulted in " + std::to_string(data.size() - got) + " bytes that were not needed").c_str()});
  // The stream is left right after the compressed data.
  char tail[8];
  ASSERT_EQ((std::tuple{iosRead(s, tail, sizeof tail, &got), std::string(tail, got)}), std::tuple(0, "NEXT"));
  iosClose(s);
}

TEST(InflateStream, InputHeldBackResumesInsideHuffmanData) {
  // The source releases its bytes one at a time after the block header; each read that runs dry returns what it has (or
  // nothing, result 0) and a later read resumes at the same bit: lengths, extra bits, distances, stored data all split.
  std::string data = sampleData(dataText, 20000, 8) + sampleData(dataRuns, 5000, 9);
  for (int kind : {0, 1, 2}) {
    std::string raw = deflateOwn(data, kind, data.size());
    Mock src = source(raw.substr(0, kind == 0 ? 5 : kind == 1 ? 1 : 200));  // the block header
    int end = 0;
    IoStream* s = openInflate(src, INFLATE_FORMAT_RAW, &end);
    std::string out;
    std::vector<char> buf(4096);
    int emptyReads = 0;
    while (s->ops == &inflateInputStreamOps) {
      uint32_t got = 0;
      ASSERT_EQ(iosRead(s, buf.data(), (uint32_t)buf.size(), &got), 0) << kind;
      out.append(buf.data(), got);
      if (got == 0) {
        emptyReads++;
        if (src.in.size() >= raw.size()) break;
        src.in += raw[src.in.size()];
      }
    }
    EXPECT_EQ(std::tuple(out == data, end, emptyReads > 100), std::tuple(true, 1, true)) << kind << " " << emptyReads;
    closeStack(s);
  }
}

// ---- round trips through our own encoders ----

TEST(InflateStream, InputFedAfterEveryReadGoesOnAtEachBlock) {
  // A source that gets more bytes after every read, as a pipe may: a large read that reaches the end of a block before
  // the next header has fully arrived returns its bytes, and the next read, with more input, decodes that header.
  std::string data = sampleData(dataText, 40000, 12);
  std::string raw = deflateOwn(data, 3, 5000);  // blocks of each kind in turn
  for (uint32_t chunk = 600; chunk < 1600; chunk += 37) {
    Mock src = source(raw.substr(0, 5));  // the first (stored) block's header
    int end = 0;
    IoStream* s = openInflate(src, INFLATE_FORMAT_RAW, &end);
    std::string out;
    std::vector<char> buf(1 << 16);
    int result = 0;
    for (int reads = 0; s->ops == &inflateInputStreamOps && result == 0 && reads < 1000; reads++) {
      uint32_t got = 0;
      result = iosRead(s, buf.data(), (uint32_t)buf.size(), &got);
      out.append(buf.data(), got);
      src.in += raw.substr(src.in.size(), chunk);
    }
    EXPECT_EQ(std::tuple(result, out == data, end), std::tuple(0, true, 1)) << chunk;
    closeStack(s);
  }
}

TEST(InflateRoundTrip, OwnEncodersAllReadModes) {
  const size_t sizes[] = {0, 1, 2, 257, 4095, 32767, 32768, 32769, 65536 + 7, 200000};
  const uint32_t sourceChunks[] = {0, 1, 7, 100, 5000};
  NarrowBitsRestored restored;
  for (int kind = 0; kind < 4; kind++)
    for (int dk = 0; dk < dataKindCount; dk++)
      for (size_t n : sizes) {
        inflateNarrowBits = (kind + dk + n) % 2;  // either direct loop
        std::string data = sampleData((DataKind)dk, n, (uint32_t)(n * 31 + dk));
        std::string raw = deflateOwn(data, kind, 70000);
        for (ReadMode mode : {readWhole, readOneByte, readRandomChunks}) {
          if (mode == readOneByte && n > 70000) continue;
          // Whole reads from a source handing out 1, 7, ... bytes at a time take input in the middle of a symbol.
          const uint32_t chunk = mode == readWhole ? sourceChunks[(kind + dk) % 5] : 777;
          Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, mode, (uint32_t)n, "after", chunk);
          ASSERT_EQ(std::tuple(d.out.size(), d.out == data, d.endFlag, d.after),
                    std::tuple(data.size(), true, 1, "after"))
              << kind << " " << dk << " " << n << " " << mode;
        }
        Decoded z = decodeStack(zlibWrap(raw, data), n % 2 ? INFLATE_FORMAT_ZLIB : INFLATE_FORMAT_ZLIB_STRICT,
                                readRandomChunks, 5, "zz", sourceChunks[(n + dk) % 5]);
        ASSERT_EQ(std::tuple(z.out == data, z.after), std::tuple(true, "zz")) << kind << " " << dk << " " << n;
      }
}

// ---- decode tables ----

// Lengths 1, 2, ..., 14, 15, 15 make a complete code; a 15-bit code more (over-subscribed) or less (incomplete) fails.
TEST(InflateTables, CodesOffByOneLongCodeAreRefused) {
  std::vector<uint8_t> lengths(288, 0);
  for (int l = 1; l <= 15; l++) lengths[(l * 19) % 286] = (uint8_t)l;
  lengths[284] = 15;
  const InflateTable* t = nullptr;
  ASSERT_EQ(inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), 0);
  EXPECT_TRUE(t->complete);
  inflateFreeTable(t);
  lengths[1] = 15;
  EXPECT_EQ(inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), -1);
  lengths[1] = lengths[284] = 0;
  EXPECT_EQ((std::tuple{inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), t}),
            std::tuple(-1, nullptr));
  lengths[284] = 15;
  lengths[2] = 16;  // a length no code can have is refused before anything is counted by it
  EXPECT_EQ((std::tuple{inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), t}),
            std::tuple(-1, nullptr));
}

// Inflate stream: our own vectors for each block type and each invalid
// construct, the stream behaviour (self-removal, end flag, the bytes after
// the data, close with drain) and round trips through our own encoders with
// every read pattern. Runs on every platform (no peer library needed).
#include <gtest/gtest.h>

#include "test_inflate_helpers.h"

using namespace inflatetest;

namespace {

// Bits of a fixed block: header, the fixed-code literal `c`.
void fixedLiteral(BitWriter& bw, uint32_t c) {
  static const std::vector<uint32_t> codes = canonicalCodes(fixedLiteralLengths());
  static const std::vector<uint8_t> lens = fixedLiteralLengths();
  bw.putCode(codes[c], lens[c]);
}

// A dynamic block header with explicit code lengths (litLen.size() = HLIT,
// distLen.size() = HDIST), written without run-length codes.
void dynamicPlain(BitWriter& bw, bool last, const std::vector<uint8_t>& litLen, const std::vector<uint8_t>& distLen) {
  bw.put(last ? 1 : 0, 1);
  bw.put(2, 2);
  writeDynamicHeader(bw, litLen, distLen);
}

// Literal/length lengths: 0..255 and 256 plus `extra` symbols beyond, a
// complete code (8 bits for the first 240 literals, 9 for the rest, ...).
std::vector<uint8_t> completeLitLen(size_t count) {
  // count symbols, count in 257..288: lengths from a flat Huffman tree.
  std::vector<uint64_t> f(count, 1);
  return huffmanLengths(f);
}

}  // namespace

// ---- valid vectors ----

TEST(InflateVectors, StoredEmptyFinalBlockRemovesLevelAndKeepsTrailer) {
  Decoded d = decodeStack(fromHex("01 00 00 FF FF"), INFLATE_FORMAT_RAW, readWhole, 1, "tail");
  EXPECT_EQ(d.out, "");
  EXPECT_EQ(d.lastResult, 0);
  EXPECT_EQ(d.endFlag, 1);
  EXPECT_TRUE(d.levelGone);
  EXPECT_EQ(d.after, "tail");
}

TEST(InflateVectors, FixedBlockAbcAndRunOfDistanceOne) {
  Decoded d = decodeStack(fromHex("4b 4c 4a 06 00"), INFLATE_FORMAT_RAW, readWhole, 1, "XY");
  EXPECT_EQ(d.out, "abc");
  EXPECT_EQ(d.after, "XY");
  // 'a' then length 258 at distance 1: the last byte repeated 258 times.
  d = decodeStack(fromHex("4b 4c 1c f1 00 00"), INFLATE_FORMAT_RAW, readOneByte);
  EXPECT_EQ(d.out, std::string(259, 'a'));
  EXPECT_EQ(d.endFlag, 1);
  // The same through the zlib wrapper, checksum included.
  d = decodeStack(fromHex("78 01 4b 4c 4a 06 00 02 4d 01 27"), INFLATE_FORMAT_ZLIB, readWhole, 1, "+");
  EXPECT_EQ(d.out, "abc");
  EXPECT_EQ(d.endFlag, 1);
  EXPECT_EQ(d.after, "+");
}

TEST(InflateVectors, LastCodeInPartialFinalByte) {
  // Six 9-bit literals and the end code: 64 bits, the end code starts 7 bits
  // before the end, so a 9-bit lookup cannot be filled.
  BitWriter bw;
  bw.put(1, 1);
  bw.put(1, 2);
  for (int i = 0; i < 6; i++) fixedLiteral(bw, 0xC8);
  fixedLiteral(bw, 256);
  std::string raw = bw.finish();
  ASSERT_EQ(raw.size(), 8u);
  Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, std::string(6, '\xC8'));
  EXPECT_EQ(d.endFlag, 1);
  d = decodeStack(zlibWrap(raw, std::string(6, '\xC8')), INFLATE_FORMAT_ZLIB, readOneByte);
  EXPECT_EQ(d.out, std::string(6, '\xC8'));
  EXPECT_EQ(d.endFlag, 1);

  // Five 9-bit literals and an 8-bit one ending exactly at the end of the
  // input (no end code): the tolerant format decodes it, the strict one
  // cannot fill the lookup and stops before it.
  BitWriter b2;
  b2.put(0x9C78, 16);
  b2.put(1, 1);
  b2.put(1, 2);
  for (int i = 0; i < 5; i++) fixedLiteral(b2, 0xC8);
  fixedLiteral(b2, 'z');
  std::string cut = b2.finish();
  ASSERT_EQ(cut.size(), 9u);
  d = decodeStack(cut, INFLATE_FORMAT_ZLIB, readWhole);
  EXPECT_EQ(d.out, std::string(5, '\xC8') + "z");
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 0);
  d = decodeStack(cut, INFLATE_FORMAT_ZLIB_STRICT, readWhole);
  EXPECT_EQ(d.out, std::string(5, '\xC8'));
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 0);
}

TEST(InflateVectors, SingleOneBitDistanceCodeAndUnusedHighSymbolsAccepted) {
  // HLIT 288 and HDIST 32 are allowed as long as 286, 287, 30 and 31 never
  // appear; one distance code of one bit is a valid (incomplete) code.
  std::vector<uint8_t> lit = completeLitLen(288);
  std::vector<uint8_t> dist(32, 0);
  dist[3] = 1;  // distance 4 only
  BitWriter bw;
  dynamicPlain(bw, true, lit, dist);
  std::vector<Token> tokens = {{'w', 0}, {'x', 0}, {'y', 0}, {'z', 0}, {8, 4}};
  writeTokens(bw, tokens, lit, dist);
  Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, "wxyzwxyzwxyz");
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 1);
}

TEST(InflateVectors, RepeatAtStartRepeatsZero) {
  // Code lengths written as: 16 (repeat "previous" = 0, 6 times), then the
  // real lengths. The six leading symbols get no code.
  std::vector<uint8_t> lit(257, 0);
  for (int i = 6; i < 257; i++) lit[i] = 0;
  // Symbols 'a'..'d', 256 and 257 with 3-bit codes, plus 2 more: complete with 8 codes of 3 bits.
  const int used[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 256};
  for (int s : used) lit[s] = 3;
  std::vector<uint8_t> dist = {1, 1};
  BitWriter bw;
  bw.put(1, 1);
  bw.put(2, 2);
  bw.put(0, 5);   // HLIT 257
  bw.put(1, 5);   // HDIST 2
  bw.put(15, 4);  // all 19 code-length code lengths
  // Code-length code: every symbol 0..18 gets 5 bits except ... keep it
  // simple: lengths 16, 17, 18, 0, 1, 3 get codes of lengths 2,3,3,3,3,2.
  uint8_t cl[19] = {0};
  cl[16] = 2;
  cl[17] = 3;
  cl[18] = 3;
  cl[0] = 3;
  cl[1] = 3;
  cl[3] = 2;
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int i = 0; i < 19; i++) bw.put(cl[order[i]], 3);
  std::vector<uint8_t> clv(cl, cl + 19);
  std::vector<uint32_t> cc = canonicalCodes(clv);
  auto sym = [&](int s) { bw.putCode(cc[s], cl[s]); };
  sym(16);
  bw.put(3, 2);  // 6 zeros (repeat of the initial 0)
  // Symbols 6..96 are 0: 91 zeros = 18 with 80 (11+69), then 11 -> 17 with 8
  uint32_t i = 6;
  auto zeros = [&](uint32_t n) {
    while (n > 0) {
      uint32_t r = std::min<uint32_t>(n, 138);
      if (r >= 11) {
        sym(18);
        bw.put(r - 11, 7);
      } else if (r >= 3) {
        sym(17);
        bw.put(r - 3, 3);
      } else {
        for (uint32_t k = 0; k < r; k++) sym(0);
      }
      n -= r;
      i += r;
    }
  };
  zeros('a' - 6);
  for (int k = 0; k < 7; k++, i++) sym(3);  // 'a'..'g'
  zeros(256 - i);
  sym(3);  // 256
  i++;
  sym(1);  // distance 0
  sym(1);  // distance 1
  writeTokens(bw, {{'g', 0}, {'a', 0}, {'d', 0}}, lit, dist);
  Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, "gad");
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 1);
}

// ---- invalid streams ----

TEST(InflateInvalid, StoredLengthCheckFails) {
  InflateLog log;
  Decoded d = decodeStack(fromHex("01 05 00 FA FE 68 65 6C 6C 6F"), INFLATE_FORMAT_RAW, readWhole);
  std::string text = log.take();
  EXPECT_TRUE(d.failed);
  EXPECT_EQ(d.lastResult, -1);
  EXPECT_EQ(d.out, "");
  EXPECT_TRUE(contains(text, "Uncompressed literal block invalid header checksum")) << text;
  // The correct complement decodes.
  d = decodeStack(fromHex("01 05 00 FA FF 68 65 6C 6C 6F"), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, "hello");
}

TEST(InflateInvalid, ReservedBlockTypeFailsEveryRead) {
  Source src;
  src.data = fromHex("07 00");  // final block of type 3
  IoStream* s = iosNewLevel(&src, &sourceOps);
  ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, false), 0);
  uint8_t buf[16];
  uint32_t got = 99;
  {
    InflateLog log;
    EXPECT_EQ(iosRead(s, buf, sizeof buf, &got), -1);
    EXPECT_TRUE(contains(log.take(), "Encountered reserved blocktype 3"));
  }
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(iosRead(s, buf, sizeof buf, &got), -1);  // sticky
  EXPECT_EQ(s->ops, &inflateInputStreamOps);
  iosCloseThisLevel(s);
  iosClose(s);
}

TEST(InflateInvalid, CodeLengthFaultsFailTheStream) {
  std::vector<uint8_t> dist = {1, 1};
  struct Case {
    const char* what;
    std::vector<uint8_t> lit;
  };
  std::vector<uint8_t> over(257, 0), under(257, 0), tooMany(257, 0);
  for (int s = 0; s < 5; s++) over[s] = 2;  // five 2-bit codes: over-subscribed
  over[256] = 2;
  under['a'] = 2;  // three 2-bit codes: incomplete with codes longer than 1 bit
  under['b'] = 2;
  under[256] = 2;
  for (int s = 0; s < 3; s++) tooMany[s] = 1;  // three 1-bit codes: over-subscribed
  for (const Case& c : {Case{"over", over}, Case{"under", under}, Case{"one-bit over", tooMany}}) {
    BitWriter bw;
    dynamicPlain(bw, true, c.lit, dist);
    bw.put(0, 16);
    InflateLog log;
    Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readWhole);
    std::string text = log.take();
    EXPECT_TRUE(d.failed) << c.what;
    EXPECT_TRUE(contains(text, "code lengths don't add up")) << c.what << text;
    EXPECT_TRUE(contains(text, "Invalid inflater data during dynamic hoffman data")) << c.what;
  }
}

TEST(InflateInvalid, RepeatPastCountAndMissingBitsFail) {
  // HLIT 257, HDIST 1: 258 lengths; 18 with 138 zeros twice = 276 > 258.
  BitWriter bw;
  bw.put(1, 1);
  bw.put(2, 2);
  bw.put(0, 5);
  bw.put(0, 5);
  bw.put(14, 4);  // 18 code-length lengths: 16, 17, 18, 0, ... up to 1
  uint8_t cl[19] = {0};
  cl[18] = 1;
  cl[0] = 1;
  static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  for (int i = 0; i < 18; i++) bw.put(cl[order[i]], 3);
  // canonical: 0 -> '0', 18 -> '1'
  bw.putCode(1, 1);
  bw.put(127, 7);
  bw.putCode(1, 1);
  bw.put(127, 7);
  bw.put(0, 16);
  Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_TRUE(d.failed);

  // A dynamic header cut short fails too (no partial header is kept).
  std::string whole = deflateOwn(sampleData(dataText, 3000, 5), 2);
  for (size_t cut : {1, 2, 5, 10}) {
    d = decodeStack(whole.substr(0, cut), INFLATE_FORMAT_RAW, readWhole);
    EXPECT_TRUE(d.failed) << cut;
    EXPECT_EQ(d.out, "");
  }
}

TEST(InflateInvalid, HighSymbolsEndTheOutputWithoutFailure) {
  // Literal/length 286 and 287 (only codable with HLIT 288) and distances 30
  // and 31 (HDIST 32): the output ends there, later reads keep ending.
  std::vector<uint8_t> lit = completeLitLen(288);
  std::vector<uint8_t> dist(32, 5);
  for (uint32_t bad : {286u, 287u, 1030u, 1031u}) {
    BitWriter bw;
    dynamicPlain(bw, true, lit, dist);
    std::vector<uint32_t> lc = canonicalCodes(lit), dc = canonicalCodes(dist);
    for (char c : std::string("ok")) bw.putCode(lc[(uint8_t)c], lit[(uint8_t)c]);
    if (bad < 1000) {
      bw.putCode(lc[bad], lit[bad]);
    } else {
      bw.putCode(lc[257], lit[257]);  // length 3
      bw.putCode(dc[bad - 1000], dist[bad - 1000]);
      bw.put(0, 13);
    }
    for (char c : std::string("more")) bw.putCode(lc[(uint8_t)c], lit[(uint8_t)c]);
    bw.putCode(lc[256], lit[256]);
    InflateLog log;
    Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readRandomChunks, bad);
    std::string text = log.take();
    EXPECT_EQ(d.out, "ok") << bad;
    EXPECT_FALSE(d.failed) << bad;
    EXPECT_EQ(d.endFlag, 0) << bad;
    EXPECT_FALSE(d.levelGone);
    EXPECT_TRUE(contains(text, "Invalid huffman distance " + std::to_string(bad % 1000))) << text;
  }
}

TEST(InflateInvalid, UnreachedLiteralCodeEndsInsteadOfLooping) {
  // Only the end code has a (1-bit) code; input bit 1 reaches nothing. The
  // stream must end rather than produce bytes forever.
  std::vector<uint8_t> lit(257, 0);
  lit[256] = 1;
  BitWriter bw;
  dynamicPlain(bw, true, lit, {1, 1});
  bw.put(0xFF, 8);
  Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, "");
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 0);
  // All literal lengths zero: an empty code, same outcome.
  BitWriter b2;
  dynamicPlain(b2, true, std::vector<uint8_t>(257, 0), {1, 1});
  b2.put(0, 16);
  d = decodeStack(b2.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, "");
  EXPECT_FALSE(d.failed);
}

TEST(InflateInvalid, NoEndOfBlockCodeEndsWithTheInput) {
  // A code without symbol 256: the block never ends; the output is every
  // literal present and the stream then reads as ended (not finished).
  std::vector<uint8_t> lit(257, 0);
  lit['p'] = 1;
  lit['q'] = 1;
  BitWriter bw;
  dynamicPlain(bw, true, lit, {1, 1});
  for (int i = 0; i < 40; i++) bw.putCode(i % 3 == 0 ? 1 : 0, 1);
  std::string raw = bw.finish();
  Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, readWhole);
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 0);
  ASSERT_GE(d.out.size(), 40u);
  EXPECT_EQ(d.out.substr(0, 4), "qppq");
}

TEST(InflateInvalid, ZlibHeaderFaultsReadAsEmpty) {
  for (const char* hex : {"78 9D 4B 4C 4A 06 00", "79 9C 4B", "78"}) {
    Decoded d = decodeStack(fromHex(hex), INFLATE_FORMAT_ZLIB, readWhole);
    EXPECT_EQ(d.out, "") << hex;
    EXPECT_FALSE(d.failed) << hex;
    EXPECT_EQ(d.endFlag, 1) << hex;
    EXPECT_TRUE(d.levelGone) << hex;
  }
  // Method 7 with a valid header check: 0x77 0x01 -> (0x7701 % 31) == 0?
  uint32_t cmf = 0x77, flg = 0;
  while ((cmf * 256 + flg) % 31) flg++;
  std::string h{(char)cmf, (char)flg};
  InflateLog log;
  Decoded d = decodeStack(h + "\x4b\x4c", INFLATE_FORMAT_ZLIB, readWhole);
  EXPECT_TRUE(contains(log.take(), "Compression method 7 unknown"));
  EXPECT_EQ(d.endFlag, 1);
}

TEST(InflateInvalid, ChecksumMismatchIsOnlyLogged) {
  std::string good = fromHex("78 01 4b 4c 4a 06 00 02 4d 01 27");
  std::string bad = good;
  bad[10] ^= 1;
  InflateLog log;
  Decoded d = decodeStack(bad, INFLATE_FORMAT_ZLIB_STRICT, readWhole, 1, "after");
  EXPECT_TRUE(contains(log.take(), "Checksum 24d0127 != expected 24d0126"));
  EXPECT_EQ(d.out, "abc");
  EXPECT_FALSE(d.failed);
  EXPECT_EQ(d.endFlag, 1);
  EXPECT_EQ(d.after, "after");
}

TEST(InflateInvalid, PresetDictionaryRefused) {
  uint32_t cmf = 0x78, flg = 0x20;
  while ((cmf * 256 + flg) % 31) flg++;
  std::string s{(char)cmf, (char)flg, 1, 2, 3, 4, 0x4b, 0x4c, 0x4a, 0x06, 0x00};
  Decoded d = decodeStack(s, INFLATE_FORMAT_ZLIB, readWhole);
  EXPECT_TRUE(d.failed);
  EXPECT_EQ(d.out, "");
}

TEST(InflateInvalid, EveryPrefixGivesAPrefixOfTheData) {
  // Stored, fixed and dynamic blocks; each cut either fails or ends early,
  // and never yields bytes that are not the data's.
  std::string data = sampleData(dataText, 4000, 11) + sampleData(dataRandom, 300, 12);
  std::string raw = deflateOwn(data, 3, 1500);
  InflateLog quiet(logLevelNone);
  for (size_t cut = 0; cut < raw.size(); cut++) {
    Decoded d =
        decodeStack(raw.substr(0, cut), INFLATE_FORMAT_RAW, cut % 2 ? readWhole : readRandomChunks, (uint32_t)cut);
    ASSERT_LE(d.out.size(), data.size()) << cut;
    ASSERT_EQ(d.out, data.substr(0, d.out.size())) << cut;
    ASSERT_EQ(d.endFlag, 0) << cut;
  }
  Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, data);
  EXPECT_EQ(d.endFlag, 1);
}

// ---- stream behaviour ----

TEST(InflateStream, ZeroLengthReadDecodesNothing) {
  Source src;
  src.data = fromHex("4b 4c 4a 06 00");
  IoStream* s = iosNewLevel(&src, &sourceOps);
  ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, true), 0);
  uint32_t got = 7;
  char buf[8];
  EXPECT_EQ(iosRead(s, buf, 0, &got), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(src.readCalls, 0);
  EXPECT_EQ(iosRead(s, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), "abc");
  iosClose(s);
}

TEST(InflateStream, StackAndLevelName) {
  Source src;
  src.data = fromHex("01 00 00 FF FF");
  IoStream* s = iosNewLevel(&src, &sourceOps);
  ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, true), 0);
  EXPECT_STREQ(iosTypeName(s), "InflateInputStream");
  EXPECT_STREQ(iosTypeName(s->next), "BufferedInputStream");
  EXPECT_STREQ(iosTypeName(s->next->next), "TestSource");
  EXPECT_EQ(iosClose(s), 0);
  // A stream that cannot read is refused.
  static const IoStreamOps writeOnly = {.name = "WriteOnly", .write = [](void*, const void*, uint32_t n, uint32_t* w) {
                                          if (w) *w = n;
                                          return 0;
                                        }};
  IoStream* out = iosNewLevel(nullptr, &writeOnly);
  {
    InflateLog log;
    EXPECT_EQ(inflateWrapInputStream(out, INFLATE_FORMAT_RAW, nullptr, false), -1);
    EXPECT_TRUE(contains(log.take(), "Performing inflateWrapInputStream operation on WriteOnly IoStream"));
  }
  iosClose(out);
}

TEST(InflateStream, CloseWithoutEndFlagDrainsToTheEnd) {
  std::string data = sampleData(dataText, 20000, 3);
  std::string raw = deflateOwn(data, 3, 7000);
  Source src;
  src.data = raw + "NEXT";
  IoStream* s = iosNewLevel(&src, &sourceOps);
  ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, false), 0);
  char buf[100];
  uint32_t got = 0;
  ASSERT_EQ(iosRead(s, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), data.substr(0, got));
  InflateLog log;
  EXPECT_EQ(iosCloseThisLevel(s), 0);
  std::string text = log.take();
  EXPECT_TRUE(
      contains(text, "Inflation resulted in " + std::to_string(data.size() - got) + " bytes that were not needed"))
      << text.substr(0, 300);
  // The stream is left right after the compressed data.
  char tail[8];
  ASSERT_EQ(iosRead(s, tail, sizeof tail, &got), 0);
  EXPECT_EQ(std::string(tail, got), "NEXT");
  iosClose(s);
}

TEST(InflateStream, InputHeldBackResumesInsideHuffmanData) {
  // The source releases its bytes one at a time after the block header; each
  // read that runs dry returns what it has (or nothing, result 0) and a later
  // read resumes at the same bit: lengths, extra bits, distances and stored
  // data all get split.
  std::string data = sampleData(dataText, 20000, 8) + sampleData(dataRuns, 5000, 9);
  for (int kind : {0, 1, 2}) {
    BitWriter bw;
    if (kind == 0)
      writeStored(bw, data, true);
    else if (kind == 1)
      writeFixed(bw, lz77(data), true);
    else
      writeDynamic(bw, lz77(data), true);
    std::string raw = bw.finish();
    size_t headerBytes = kind == 0 ? 5 : kind == 1 ? 1 : 200;
    Source src;
    src.data = raw;
    src.limit = headerBytes;
    IoStream* s = iosNewLevel(&src, &sourceOps);
    int end = 0;
    ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, &end, false), 0);
    std::string out;
    std::vector<char> buf(4096);
    int emptyReads = 0;
    while (s->ops == &inflateInputStreamOps) {
      uint32_t got = 0;
      ASSERT_EQ(iosRead(s, buf.data(), (uint32_t)buf.size(), &got), 0) << kind;
      out.append(buf.data(), got);
      if (got == 0) {
        emptyReads++;
        if (src.limit >= raw.size()) break;
        src.limit++;
      }
    }
    EXPECT_EQ(out, data) << kind;
    EXPECT_EQ(end, 1) << kind;
    EXPECT_GT(emptyReads, 100) << kind;
    if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
    iosClose(s);
  }
}

TEST(InflateStream, SourceReadFailureInStoredBlockFails) {
  std::string data = sampleData(dataRandom, 200000, 4);
  BitWriter bw;
  writeStored(bw, data, true);
  Source src;
  src.data = bw.finish();
  src.failReadAt = 2;
  IoStream* s = iosNewLevel(&src, &sourceOps);
  ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, false), 0);
  std::vector<char> buf(1 << 16);
  int result = 0;
  size_t total = 0;
  for (int i = 0; i < 100 && result == 0; i++) {
    uint32_t got = 0;
    result = iosRead(s, buf.data(), (uint32_t)buf.size(), &got);
    total += got;
    if (result == 0 && got == 0) break;
  }
  EXPECT_EQ(result, -1);
  EXPECT_LT(total, data.size());
  iosCloseThisLevel(s);
  iosClose(s);
}

// ---- round trips through our own encoders ----

TEST(InflateRoundTrip, OwnEncodersAllReadModes) {
  const size_t sizes[] = {0, 1, 2, 257, 4095, 32767, 32768, 32769, 65536 + 7, 200000};
  for (int kind = 0; kind < 4; kind++)
    for (int dk = 0; dk < dataKindCount; dk++)
      for (size_t n : sizes) {
        std::string data = sampleData((DataKind)dk, n, (uint32_t)(n * 31 + dk));
        std::string raw = deflateOwn(data, kind, 70000);
        for (ReadMode mode : {readWhole, readOneByte, readRandomChunks}) {
          if (mode == readOneByte && n > 70000) continue;
          Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, mode, (uint32_t)n, "after", mode == readWhole ? 0 : 777);
          ASSERT_EQ(d.out.size(), data.size()) << kind << " " << dk << " " << n << " " << mode;
          ASSERT_TRUE(d.out == data) << kind << " " << dk << " " << n << " " << mode;
          ASSERT_EQ(d.endFlag, 1);
          ASSERT_EQ(d.after, "after");
        }
        Decoded z = decodeStack(zlibWrap(raw, data), n % 2 ? INFLATE_FORMAT_ZLIB : INFLATE_FORMAT_ZLIB_STRICT,
                                readRandomChunks, 5, "zz");
        ASSERT_TRUE(z.out == data) << kind << " " << dk << " " << n;
        ASSERT_EQ(z.after, "zz");
      }
}

TEST(InflateRoundTrip, FarDistancesAcrossTheRing) {
  // Matches at distances near 32768 right after the ring wraps, and matches
  // reaching before the first byte (zero-filled history).
  std::string data = sampleData(dataRandom, 32768, 21);
  std::string big = data + data + data.substr(0, 1000) + data;
  std::vector<Token> tokens;
  for (unsigned char c : data) tokens.push_back({c, 0});
  for (size_t i = 0; i < data.size() + data.size() + 1000 + data.size(); i += 258) {
    uint32_t len = (uint32_t)std::min<size_t>(258, big.size() - data.size() - i);
    if (len < 3) break;
    tokens.push_back({len, 32768});
  }
  BitWriter bw;
  writeFixed(bw, tokens, true);
  Decoded d = decodeStack(bw.finish(), INFLATE_FORMAT_RAW, readRandomChunks, 3);
  // Every byte equals the byte 32768 before it.
  ASSERT_GT(d.out.size(), 3 * data.size());
  for (size_t i = 32768; i < d.out.size(); i++) ASSERT_EQ(d.out[i], d.out[i - 32768]) << i;
  EXPECT_EQ(d.out.substr(0, data.size()), data);

  // Distance beyond what has been decoded reads zeros.
  BitWriter b2;
  writeFixed(b2, {{'A', 0}, {10, 100}, {'B', 0}}, true);
  d = decodeStack(b2.finish(), INFLATE_FORMAT_RAW, readWhole);
  EXPECT_EQ(d.out, std::string("A") + std::string(10, '\0') + "B");
}

// ---- decode tables ----

TEST(InflateTables, EveryCodeUpToFifteenBitsDecodesToItsSymbol) {
  // Lengths 1, 2, ..., 14, 15, 15 (a complete code), spread over the symbols,
  // so that codes longer than the primary width need sub-tables.
  std::vector<uint8_t> lengths(288, 0);
  for (int l = 1; l <= 15; l++) lengths[(l * 19) % 286] = (uint8_t)l;
  lengths[284] = 15;
  std::vector<uint32_t> codes = canonicalCodes(lengths);
  const InflateTable* t = nullptr;
  ASSERT_EQ(inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), 0);
  EXPECT_TRUE(t->complete);
  for (uint32_t s = 0; s < 288; s++) {
    uint32_t len = lengths[s];
    if (!len) continue;
    uint32_t r = 0;
    for (uint32_t i = 0; i < len; i++) r |= ((codes[s] >> i) & 1) << (len - 1 - i);
    for (uint32_t high : {0u, 0x5A5Au, 0xFFFFu}) {
      uint32_t bits = r | ((high << len) & 0x7FFF);  // the code followed by other bits
      uint32_t e = t->entries[bits & ((1u << t->bits) - 1)];
      if (e & inflateEntryLink) e = t->entries[(e >> 16) + ((bits >> t->bits) & ((1u << ((e >> 4) & 15)) - 1))];
      ASSERT_EQ(e & 15, len) << s;
      if (s < 256) {
        ASSERT_TRUE(e & inflateEntryLiteral) << s;
        ASSERT_EQ(e >> 16, s);
      } else if (s == 256 || s > 285) {
        ASSERT_TRUE(e & inflateEntrySpecial) << s;
        ASSERT_EQ(e >> 16, s);
      } else {
        ASSERT_EQ(e >> 16, inflateLengthBase[s - 257]) << s;
        ASSERT_EQ(((e >> 8) & 31) - len, inflateLengthExtra[s - 257]) << s;
      }
    }
  }
  inflateFreeTable(t);
  // Over-subscribed by one code, and one code short: both refused.
  lengths[1] = 15;
  EXPECT_EQ(inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), -1);
  lengths[1] = 0;
  lengths[284] = 0;
  EXPECT_EQ(inflateBuildTable(lengths.data(), 288, inflateKindLiteralLength, &t), -1);
  EXPECT_EQ(t, nullptr);
}

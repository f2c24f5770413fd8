// Inflate fast paths: decoding straight into the reader's buffer, stored blocks copied straight into it, the history
// kept in the ring between reads, wide match copies for every short distance, and history that is never cleared
// (matches before the first byte read zeros, never stale bytes).
#include <gtest/gtest.h>

#include <functional>

#include "test_inflate_helpers.h"

using namespace inflatetest;

namespace {

// `out` followed by what `tokens` add by the deflate rules, with zeros for the part of a match before the first byte.
std::string applyTokens(std::string out, const std::vector<Token>& tokens) {
  for (const Token& t : tokens)
    for (uint32_t i = 0; i < (t.distance ? t.value : 1); i++)
      out.push_back(!t.distance ? (char)t.value : out.size() < t.distance ? '\0' : out[out.size() - t.distance]);
  return out;
}

void addLiterals(std::vector<Token>& tokens, const std::string& bytes) {
  for (unsigned char c : bytes) tokens.push_back({c, 0});
}

// Decodes with reads whose sizes cycle through `sizes` (large ones take the direct paths, small ones the ring).
std::string decodeWithSizes(const std::string& compressed, const std::vector<uint32_t>& sizes) {
  Mock src = source(compressed);
  Decoded d;
  IoStream* s = openInflate(src, INFLATE_FORMAT_RAW, &d.endFlag);
  readLevel(s, d, [&](size_t i) { return sizes[i % sizes.size()]; });
  EXPECT_EQ(std::tuple(d.failed, d.endFlag), std::tuple(false, 1));
  closeStack(s);
  return d.out;
}

// A block of `tokens`: kind 1 fixed, 2 dynamic.
std::string encodeTokens(const std::vector<Token>& tokens, int kind) {
  BitWriter bw;
  (kind == 1 ? writeFixed : writeDynamic)(bw, tokens, true);
  return bw.finish();
}

// Read sizes around the direct threshold and the room a wide copy needs.
const std::vector<std::vector<uint32_t>> readPatterns = {
    {1u << 17},           {1},    {inflateDirectMinOut},  {inflateDirectMinOut - 1, inflateDirectMinOut + 1},
    {289, 290, 291, 300}, {4096}, {5000, 300, 70000, 17}, {65536}};

}  // namespace

// Matches the wide copies, the ring and the reader's buffer must get right, in every read pattern: (1) distances 1..40
// (the overlapping ones repeat their pattern) with lengths around the word sizes of the copies, each after fresh
// literals, in a fixed and in a dynamic block; (2) matches that reach before the first byte wholly and partly (zeros),
// then copies of those zeros; (3) two stored blocks, then Huffman blocks reaching back into them up to 32768 bytes, so
// that the history comes from the ring (earlier reads) or from the reader's buffer (this read); (4) matches at distance
// 32768 right after the ring wraps; (5) matches of 48 bits (15-bit codes for a length of symbol 284 and a distance of
// symbol 29, with their 5 and 13 extra bits) after runs of 1-bit literals of every length mod 8, so that some leave
// fewer bits than a lookup takes before the refill.
TEST(InflateDirect, MatchesCopyTheirHistoryInEveryReadPattern) {
  std::mt19937 rng(7);
  std::vector<Token> shortCopies, beforeStart, farBack, wrap;
  for (uint32_t d = 1; d <= 40; d++)
    for (uint32_t len : {3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 33, 40, 63, 100, 257, 258}) {
      for (int i = 0; i < 40; i++) shortCopies.push_back({(uint32_t)('a' + rng() % 26), 0});
      shortCopies.push_back({len, d});
    }
  addLiterals(beforeStart, sampleData(dataText, 40, 3));
  beforeStart.insert(beforeStart.end(), {{30, 100}, {50, 90}, {258, 120}});  // before the start, partly, overlapping
  addLiterals(beforeStart, sampleData(dataText, 300, 4));
  beforeStart.push_back({200, 32768});  // far before the start
  addLiterals(beforeStart, sampleData(dataText, 300, 5));
  const std::string stored = sampleData(dataRandom, 40000, 21);
  for (size_t i = 0; i < 30; i++) {
    farBack.push_back({258, 32768 - (uint32_t)i * 997});
    addLiterals(farBack, stored.substr(i * 7, 5));
    farBack.push_back({3 + (uint32_t)i, 40000 - 32768 + (uint32_t)i * 13 + 1});
  }
  addLiterals(wrap, stored.substr(0, 32768));
  for (int i = 0; i < 3 * 32768 / 258; i++) wrap.push_back({258, 32768});
  std::vector<Token> longest;
  addLiterals(longest, std::string(30000, 'A'));
  for (uint32_t i = 0; i < 40; i++) {
    longest.push_back({227 + i % 31, 24577 + i * 97});
    addLiterals(longest, std::string(i % 8, 'A'));
  }
  // Complete codes of lengths 1, 2, ..., 14, 15, 15.
  std::vector<uint8_t> litLen(286, 0), distLen(30, 0);
  litLen['A'] = 1, litLen[256] = 2, litLen[284] = 15;
  for (uint8_t l = 3; l <= 15; l++) litLen['B' + l - 3] = l;
  for (uint8_t l = 1; l <= 15; l++) distLen[l - 1] = l;
  distLen[29] = 15;
  BitWriter longBw;
  longBw.put(5, 3);  // final, dynamic
  writeDynamicHeader(longBw, litLen, distLen);
  writeTokens(longBw, longest, litLen, distLen);
  BitWriter bw;
  writeStored(bw, stored, false, 30000);
  writeFixed(bw, farBack, false);
  writeDynamic(bw, farBack, true);
  const std::string shortExpected = applyTokens("", shortCopies), beforeExpected = applyTokens("", beforeStart);
  ASSERT_EQ(beforeExpected.substr(40, 30), std::string(30, '\0'));
  const struct {
    const char* name;
    std::string compressed, expected;
  } cases[] = {
      {"short distances, fixed", encodeTokens(shortCopies, 1), shortExpected},
      {"short distances, dynamic", encodeTokens(shortCopies, 2), shortExpected},
      {"before the first byte", encodeTokens(beforeStart, 1), beforeExpected},
      {"far back into stored blocks", bw.finish(), applyTokens(applyTokens(stored, farBack), farBack)},
      {"distance 32768 across the ring", encodeTokens(wrap, 1), applyTokens("", wrap)},
      {"longest codes, most extra bits", longBw.finish(), applyTokens("", longest)},
  };
  NarrowBitsRestored restored;
  for (bool narrow : {false, true})  // the 64-bit direct loop, and the 32-bit one that 32-bit hosts take
    for (const auto& c : cases)
      for (const auto& sizes : readPatterns) {
        inflateNarrowBits = narrow;
        const std::string out = decodeWithSizes(c.compressed, sizes);
        ASSERT_EQ(std::pair(out.size(), out == c.expected), std::pair(c.expected.size(), true))
            << c.name << " " << sizes[0] << " " << narrow;
      }
}

TEST(InflateDirect, BadBlockAfterDirectBytesFailsTheNextRead) {
  // A large read takes a whole block straight into the buffer and goes on into the next block's header; a bad header
  // there fails the next read, which gives no bytes.
  const std::string data = sampleData(dataText, 20000, 31);
  const std::function<void(BitWriter&)> badHeaders[] = {
      [](BitWriter& bw) { bw.put(7, 3); },  // final, reserved type
      [](BitWriter& bw) {                   // stored, NLEN not the complement of LEN
        bw.put(1, 3);
        bw.align();
        bw.put(0x0005, 16), bw.put(0xFFFB, 16);
      },
      [](BitWriter& bw) {  // dynamic, three 1-bit code-length codes: over-subscribed
        bw.put(5, 3), bw.put(0, 5), bw.put(0, 5), bw.put(0, 4);
        for (int i = 0; i < 4; i++) bw.put(i < 3 ? 1 : 0, 3);
        for (int i = 0; i < 600; i++) bw.put(0, 8);  // as long as the longest header, so the same read reaches it
      },
  };
  InflateLog log(logLevelNone);
  for (int kind = 0; kind <= 2; kind++)
    for (size_t bad = 0; bad < SFX_ARRAY_SIZE(badHeaders); bad++) {
      BitWriter bw;
      writeBlock(bw, data, kind, false);
      badHeaders[bad](bw);
      Mock src = source(bw.finish());
      IoStream* s = openInflate(src);
      Decoded d;
      readLevel(s, d, [](size_t) { return 1u << 17; });
      EXPECT_EQ(std::tuple(d.failed, d.lastGot, d.out == data), std::tuple(true, 0u, true)) << kind << " " << bad;
      closeStack(s);
    }
}

TEST(InflateDirect, EveryCutDecodesAsTheBitByBitPath) {
  // The direct path decodes the last bytes of the input only where every bit of a symbol is present (in the strict
  // format not even that), exactly as the bit-by-bit path, which one-byte reads force: for every cut of the input near
  // the end of each block (stored, fixed and dynamic), in every format and read pattern, all give the same bytes, end
  // flag and failure, and never bytes that are not the data's.
  std::string data = sampleData(dataText, 6000, 41) + sampleData(dataRecords, 3000, 42);
  std::string raw = deflateOwn(data, 3, 3000);
  InflateLog quiet(logLevelNone);
  NarrowBitsRestored restored;
  for (int format : {INFLATE_FORMAT_RAW, INFLATE_FORMAT_ZLIB, INFLATE_FORMAT_ZLIB_STRICT}) {
    std::string stream = format == INFLATE_FORMAT_RAW ? raw : zlibWrap(raw, data);
    for (size_t cut = 0; cut <= stream.size(); cut += cut % 97 < 40 ? 1 : 57) {
      std::string part = stream.substr(0, cut);
      Decoded ref = decodeStack(part, format, readOneByte);
      ASSERT_EQ(std::tuple(ref.out == data.substr(0, ref.out.size()),
                           format != INFLATE_FORMAT_RAW || ref.endFlag == (cut == stream.size())),
                std::tuple(true, true))
          << format << " " << cut;
      for (ReadMode mode : {readWhole, readRandomChunks}) {
        inflateNarrowBits = cut % 2;  // either direct loop
        Decoded other = decodeStack(part, format, mode, (uint32_t)cut);
        ASSERT_EQ(std::tuple(other.out == ref.out, other.failed, other.endFlag),
                  std::tuple(true, ref.failed, ref.endFlag))
            << format << " " << cut << " " << mode;
      }
    }
  }
}

// Inflate fast paths: decoding straight into the reader's buffer, stored
// blocks copied straight into it, the history kept in the ring between
// reads, wide match copies for every short distance, history that is never
// cleared (matches before the first byte read zeros, never stale bytes of an
// earlier stream) and the compile-time fixed tables.
#include <gtest/gtest.h>

#include "test_inflate_helpers.h"

using namespace inflatetest;

namespace {

// What a match adds to `out` by the deflate rules, with zeros for the part
// before the first byte.
void applyTokens(std::string& out, const std::vector<Token>& tokens) {
  for (const Token& t : tokens) {
    if (t.distance == 0) {
      out.push_back((char)t.value);
      continue;
    }
    for (uint32_t i = 0; i < t.value; i++) {
      int64_t from = (int64_t)out.size() - t.distance;
      out.push_back(from < 0 ? '\0' : out[(size_t)from]);
    }
  }
}

void addLiterals(std::vector<Token>& tokens, const std::string& bytes) {
  for (unsigned char c : bytes) tokens.push_back({c, 0});
}

// Decodes with reads whose sizes cycle through `sizes` (large ones take the
// direct paths, small ones the ring); fails the test on a read error.
std::string decodeWithSizes(const std::string& compressed, const std::vector<uint32_t>& sizes) {
  Source src;
  src.data = compressed;
  IoStream* s = iosNewLevel(&src, &sourceOps);
  int end = 0;
  EXPECT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, &end, false), 0);
  std::string out;
  std::vector<uint8_t> buf(1 << 17);
  for (size_t i = 0; s->ops == &inflateInputStreamOps; i++) {
    uint32_t got = 0;
    EXPECT_EQ(iosRead(s, buf.data(), sizes[i % sizes.size()], &got), 0);
    out.append(reinterpret_cast<char*>(buf.data()), got);
    if (got == 0) break;
  }
  EXPECT_EQ(end, 1);
  if (s->ops == &inflateInputStreamOps) iosCloseThisLevel(s);
  iosClose(s);
  return out;
}

// Read sizes around the direct threshold and the room a wide copy needs.
const std::vector<std::vector<uint32_t>> readPatterns = {
    {1u << 17},           {1},    {inflateDirectMinOut},  {inflateDirectMinOut - 1, inflateDirectMinOut + 1},
    {289, 290, 291, 300}, {4096}, {5000, 300, 70000, 17}, {65536}};

}  // namespace

TEST(InflateDirect, FixedTablesEqualTheBuiltOnes) {
  std::vector<uint8_t> lit = fixedLiteralLengths(), dist(32, 5);
  const InflateTable* built = nullptr;
  ASSERT_EQ(inflateBuildTable(lit.data(), 288, inflateKindLiteralLength, &built), 0);
  ASSERT_EQ(built->entryCount, inflateFixedLiteralTable.entryCount);
  EXPECT_EQ(built->bits, inflateFixedLiteralTable.bits);
  EXPECT_TRUE(inflateFixedLiteralTable.complete);
  for (uint32_t i = 0; i < built->entryCount; i++)
    ASSERT_EQ(built->entries[i], inflateFixedLiteralTable.entries[i]) << i;
  inflateFreeTable(built);
  ASSERT_EQ(inflateBuildTable(dist.data(), 32, inflateKindDistance, &built), 0);
  ASSERT_EQ(built->entryCount, inflateFixedDistanceTable.entryCount);
  for (uint32_t i = 0; i < built->entryCount; i++)
    ASSERT_EQ(built->entries[i], inflateFixedDistanceTable.entries[i]) << i;
  inflateFreeTable(built);
  // The shared tables are never freed (a level that saw a fixed block
  // releases its block tables through the same call).
  inflateFreeTable(&inflateFixedLiteralTable);
  EXPECT_EQ(inflateFixedLiteralTable.entries[0] >> 16, 256u);
}

TEST(InflateDirect, EveryShortDistanceAndLengthCopiesItsPattern) {
  // Distances 1..40 (the overlapping ones repeat their pattern) with lengths
  // around the word sizes of the copies, each after fresh literals, in one
  // fixed block and in a dynamic one; every read pattern.
  std::mt19937 rng(7);
  std::vector<Token> tokens;
  const uint32_t lengths[] = {3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 33, 40, 63, 100, 257, 258};
  for (uint32_t d = 1; d <= 40; d++)
    for (uint32_t len : lengths) {
      std::string lits;
      for (int i = 0; i < 40; i++) lits.push_back((char)('a' + rng() % 26));
      addLiterals(tokens, lits);
      tokens.push_back({len, d});
    }
  std::string expected;
  applyTokens(expected, tokens);
  for (int kind = 1; kind <= 2; kind++) {
    BitWriter bw;
    if (kind == 1)
      writeFixed(bw, tokens, true);
    else
      writeDynamic(bw, tokens, true);
    std::string compressed = bw.finish();
    for (const auto& sizes : readPatterns) {
      std::string out = decodeWithSizes(compressed, sizes);
      ASSERT_EQ(out.size(), expected.size()) << kind << " " << sizes[0];
      ASSERT_TRUE(out == expected) << kind << " " << sizes[0];
    }
  }
}

TEST(InflateDirect, MatchesBeforeTheFirstByteReadZerosInEveryPath) {
  // Enough input for the fast loops, then matches that reach before the
  // first byte wholly and partly, later ones that copy those zeros.
  std::vector<Token> tokens;
  addLiterals(tokens, sampleData(dataText, 40, 3));
  tokens.push_back({30, 100});   // wholly before the start
  tokens.push_back({50, 90});    // 20 zeros, then the first 30 bytes
  tokens.push_back({258, 120});  // overlapping, across all of it
  addLiterals(tokens, sampleData(dataText, 300, 4));
  tokens.push_back({200, 32768});  // far before the start
  addLiterals(tokens, sampleData(dataText, 300, 5));
  std::string expected;
  applyTokens(expected, tokens);
  ASSERT_EQ(expected.substr(40, 30), std::string(30, '\0'));
  BitWriter bw;
  writeFixed(bw, tokens, true);
  std::string compressed = bw.finish();
  for (const auto& sizes : readPatterns) EXPECT_TRUE(decodeWithSizes(compressed, sizes) == expected) << sizes[0];
}

TEST(InflateDirect, NextStreamNeverSeesTheHistoryOfThePreviousOne) {
  // Two members one after the other on the same stream, each with its own
  // level: the second starts with matches reaching before its first byte,
  // which must read zeros and not what the first member left in memory
  // (its state block is typically reused).
  std::string first = sampleData(dataRandom, 70000, 11);
  std::vector<Token> tokens;
  addLiterals(tokens, "xyz0123456789abcdefghijklmnopqrstuvwxyz");
  tokens.push_back({258, 1000});
  tokens.push_back({258, 30000});
  addLiterals(tokens, sampleData(dataText, 200, 12));
  std::string expected;
  applyTokens(expected, tokens);
  BitWriter bw;
  writeFixed(bw, tokens, true);
  std::string second = bw.finish();
  for (uint32_t readSize : {1u << 17, 1000u}) {
    Source src;
    src.data = deflateOwn(first, 0) + deflateOwn(first, 2) + second;
    IoStream* s = iosNewLevel(&src, &sourceOps);
    std::vector<uint8_t> buf(1 << 17);
    for (int member = 0; member < 3; member++) {
      int end = 0;
      ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, &end, false), 0);
      std::string out;
      while (s->ops == &inflateInputStreamOps) {
        uint32_t got = 0;
        ASSERT_EQ(iosRead(s, buf.data(), readSize, &got), 0);
        if (got == 0) break;
        out.append(reinterpret_cast<char*>(buf.data()), got);
      }
      ASSERT_EQ(end, 1);
      if (member < 2)
        ASSERT_TRUE(out == first) << member << " " << readSize;
      else
        ASSERT_TRUE(out == expected) << readSize;
    }
    iosClose(s);
  }
}

TEST(InflateDirect, HistoryCarriesAcrossReadsAndStoredBlocks) {
  // A stored block, then Huffman blocks whose matches reach back into it up
  // to 32768 bytes: with reads of every size the history must come from the
  // ring (earlier reads) or from the reader's buffer (this read).
  std::string data = sampleData(dataRandom, 40000, 21);
  std::vector<Token> tokens;
  for (size_t i = 0; i < 30; i++) {
    tokens.push_back({258, 32768 - (uint32_t)i * 997});
    addLiterals(tokens, data.substr(i * 7, 5));
    tokens.push_back({3 + (uint32_t)i, 40000 - 32768 + (uint32_t)i * 13 + 1});
  }
  std::string expected = data;
  applyTokens(expected, tokens);
  BitWriter bw;
  writeStored(bw, data, false, 30000);  // two stored blocks
  writeFixed(bw, tokens, false);
  writeDynamic(bw, tokens, true);
  applyTokens(expected, tokens);
  std::string compressed = bw.finish();
  for (const auto& sizes : readPatterns) {
    std::string out = decodeWithSizes(compressed, sizes);
    ASSERT_EQ(out.size(), expected.size()) << sizes[0];
    ASSERT_TRUE(out == expected) << sizes[0];
  }
}

TEST(InflateDirect, BadBlockAfterDirectBytesFailsTheNextRead) {
  // A large read takes a whole block straight into the buffer; the reserved
  // block type that follows fails the next read, not the one with the bytes.
  for (int kind = 0; kind <= 2; kind++) {
    std::string data = sampleData(dataText, 20000, 31);
    BitWriter bw;
    writeBlock(bw, data, kind, false);
    bw.put(1, 1);  // final
    bw.put(3, 2);  // reserved type
    Source src;
    src.data = bw.finish();
    IoStream* s = iosNewLevel(&src, &sourceOps);
    ASSERT_EQ(inflateWrapInputStream(s, INFLATE_FORMAT_RAW, nullptr, false), 0);
    std::vector<uint8_t> buf(1 << 17);
    std::string out;
    int result = 0;
    InflateLog log(logLevelNone);
    for (int i = 0; i < 100 && result == 0; i++) {
      uint32_t got = 0;
      result = iosRead(s, buf.data(), (uint32_t)buf.size(), &got);
      if (result == 0) {
        ASSERT_GT(got, 0u) << kind;
        out.append(reinterpret_cast<char*>(buf.data()), got);
      } else {
        EXPECT_EQ(got, 0u) << kind;
      }
    }
    EXPECT_EQ(result, -1) << kind;
    EXPECT_TRUE(out == data) << kind;
    iosCloseThisLevel(s);
    iosClose(s);
  }
}

TEST(InflateDirect, EveryCutDecodesAsTheBitByBitPath) {
  // The direct path decodes the last bytes of the input only where every bit
  // of a symbol is present (in the strict format not even that), exactly as
  // the bit-by-bit path, which one-byte reads force: for every cut of the
  // input near the end of each block, in every format, both give the same
  // bytes, end flag and failure.
  std::string data = sampleData(dataText, 6000, 41) + sampleData(dataRecords, 3000, 42);
  std::string raw = deflateOwn(data, 3, 3000);
  InflateLog quiet(logLevelNone);
  for (int format : {INFLATE_FORMAT_RAW, INFLATE_FORMAT_ZLIB, INFLATE_FORMAT_ZLIB_STRICT}) {
    std::string stream = format == INFLATE_FORMAT_RAW ? raw : zlibWrap(raw, data);
    for (size_t cut = 0; cut <= stream.size(); cut += cut % 97 < 40 ? 1 : 57) {
      std::string part = stream.substr(0, cut);
      Decoded ref = decodeStack(part, format, readOneByte);
      Decoded direct = decodeStack(part, format, readWhole);
      ASSERT_TRUE(direct.out == ref.out) << format << " " << cut;
      ASSERT_EQ(direct.failed, ref.failed) << format << " " << cut;
      ASSERT_EQ(direct.endFlag, ref.endFlag) << format << " " << cut;
    }
  }
}

TEST(InflateDirect, SmallSourceReadsAreFollowedInsideTheLoop) {
  // The direct loop takes the next block of input from the level below when
  // the buffered bytes run out in the middle of a symbol; with the source
  // handing out 1, 7, 100 or 5000 bytes per read the output is unchanged.
  std::string data = sampleData(dataText, 50000, 51) + sampleData(dataRandom, 20000, 52);
  for (int kind = 0; kind <= 3; kind++) {
    std::string raw = deflateOwn(data, kind, 20000);
    for (uint32_t chunk : {1u, 7u, 100u, 5000u}) {
      Decoded d = decodeStack(raw, INFLATE_FORMAT_RAW, readWhole, 1, "tail", chunk);
      ASSERT_TRUE(d.out == data) << kind << " " << chunk;
      EXPECT_EQ(d.after, "tail") << kind << " " << chunk;
      Decoded z = decodeStack(zlibWrap(raw, data), INFLATE_FORMAT_ZLIB_STRICT, readRandomChunks, chunk, "", chunk);
      ASSERT_TRUE(z.out == data) << kind << " " << chunk;
    }
  }
}

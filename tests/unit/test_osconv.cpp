// Character sets: code page names, incomplete characters, round trips, the options, the stream levels,
// the UTF-8 and byte-order-mark helpers.

#include "osconv.h"
#include "test_os_helpers.h"

namespace {

// The converted text and the count of input bytes taken.
using Converted = std::pair<std::string, uint32_t>;

Converted convertCounted(const std::string& in, uint32_t from, uint32_t to) {
  uint32_t length = (uint32_t)in.size(), outLength = 0;
  char* out = nullptr;
  EXPECT_EQ(convertBuffer(in.data(), &length, &out, &outLength, from, to), 0);
  const Converted result(std::string(out ? out : "", outLength), length);
  memFree(out);
  return result;
}

std::string convert(const std::string& in, uint32_t from, uint32_t to) { return convertCounted(in, from, to).first; }

// Names give their code pages, and the names of code pages turn back into their numbers.
TEST(OsConvNames, CodePagesFromNamesAndBack) {
  const std::pair<const char*, uint32_t> rows[] = {{"IBM-037", 37u},        {"IBM-273", 20273u},
                                                   {"ibm-924", 20924u},     {"IBM-Thai", 20838u},
                                                   {"iso-8859-15", 28605u}, {"ISO-8859-1", 28591u},
                                                   {"utf-8", 65001u},       {"iso-8859-8-i", 38598u},
                                                   {"windows-1252", 1252u}, {"UCS2", 1200u},
                                                   {"850", 850u},           {"cp437", 437u},
                                                   {"x-iscii-pa", 57011u},  {"OEM", 1u}};
  for (const auto& [name, cp] : rows) EXPECT_EQ(cpFromName(name), cp) << name;
  // Unknown names give 0; the patterns keep their case.
  for (const char* name : {"iso-8859-16", "Windows-1252", "ANSI", "no-such-set"})
    EXPECT_EQ(cpFromName(name), 0u) << name;
  for (uint32_t cp : {437u, 850u, 932u, 1250u, 1252u, 10000u, 20127u, 20273u, 28591u, 28605u, 50220u, 65001u}) {
    char name[40];
    cpName(cp, name, sizeof name);
    EXPECT_EQ(cpFromName(name), cp) << name;
  }
  EXPECT_EQ((TestNames{cpNameFormat(1252), cpNameFormat(10079)}), (TestNames{"windows-%d", "x-mac-icelandic"}));
}

TEST(OsConvBuffer, HoldsBackIncompleteUtf8) {
  // The first two bytes of U+20AC at the end wait; a complete two-byte character goes through.
  EXPECT_EQ(convertCounted("ab\xe2\x82", cpUtf8, cpUtf8), Converted("ab", 2));
  EXPECT_EQ(convertCounted("x\xc3\xa9", cpUtf8, cpUtf8), Converted("x\xc3\xa9", 3));
  // Only an incomplete character: nothing, and nothing consumed.
  uint32_t length = 1;
  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ((std::tuple{convertBuffer("\xe2", &length, &out, nullptr, cpUtf8, cpUtf16Le), out, length}),
            (std::tuple{0, (char*)nullptr, 0u}));
  // Starting halfway through a character is an error, and so is code page 0.
  length = 2;
  EXPECT_EQ((std::tuple{convertBuffer("\x82\xac", &length, &out, nullptr, cpUtf8, cpUtf16Le),
                        convertBuffer("x", &length, &out, nullptr, 0, cpUtf8)}),
            (std::tuple{-1, -1}));
}

TEST(OsConvBuffer, RoundTripsThroughCodePages) {
  const std::string text = "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac 1";  // "Grüße € 1"
  const std::string wide = convert(text, cpUtf8, cpUtf16Le), latin = "Gr\xfc\xdf\x65 \x80 1";
  ASSERT_EQ(wide.size(), 2u * 9);
  EXPECT_EQ((unsigned char)wide[4], 0xFCu);  // ü
  EXPECT_EQ(std::tuple(convert(wide, cpUtf16Le, cpUtf8), convert(text, cpUtf8, 1252), convert(latin, 1252, cpUtf8)),
            std::tuple(text, latin, text));
  EXPECT_EQ(convert("a\xe2\x82\xac\x62", cpUtf8, 28591), "a?b");  // the target cannot hold the euro sign
  // A lone high surrogate at the end of UTF-16 waits for its partner.
  const std::string pair = convert("\xf0\x9f\x98\x80", cpUtf8, cpUtf16Le);
  ASSERT_EQ(pair.size(), 4u);
  EXPECT_EQ(convertCounted(pair.substr(0, 2), cpUtf16Le, cpUtf8), Converted("", 0));
  EXPECT_EQ(convert(pair, cpUtf16Le, cpUtf8), "\xf0\x9f\x98\x80");
}

TEST(OsConvInit, OptionsAreConsumedAndConvertStreams) {
  TestArgv a = {"prog", "a", "--filedata", "UTF-8", "b", "--pipedata", "iso-8859-1", "c"};
  ASSERT_EQ(convInit(&a.argc, &a.argv), 0);
  EXPECT_EQ(testStrings(a.argv, a.argc), (TestNames{"prog", "a", "b", "c"}));
  EXPECT_EQ((TestNames{convCharsetName(convRoleFiledata), convCharsetName(convRolePipedata)}),
            (TestNames{"UTF-8", "iso-8859-1"}));
  EXPECT_EQ(convCharsetName(6), nullptr);
  auto pairOf = [](uint32_t pair) {
    uint32_t s = 9, t = 8;
    convGetPair(pair, &s, &t);
    return std::make_pair(s, t);
  };
  const auto same = pairOf(convInternalToFiledata);  // filedata is internal: no conversion
  EXPECT_EQ(same.first, same.second);
  EXPECT_EQ(std::tuple(pairOf(convInternalToPipedata), pairOf(convPipedataToInternal)),
            std::tuple(std::pair(65001u, 28591u), std::pair(28591u, 65001u)));
  // The stream levels convert internal -> pipedata (UTF-8 -> ISO-8859-1) on the way out and back on the way in.
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  IoStream* s = iosNewFileIO(f);
  ASSERT_EQ(iosWrapConversionOutputStream(s, convInternalToPipedata), 0);
  // "é" split across two writes: the first byte waits for the second.
  EXPECT_EQ((std::tuple{iosWrite(s, "caf\xc3", 4, nullptr), iosWrite(s, "\xa9!", 2, nullptr)}), (std::tuple{0, 0}));
  iosFlush(s);
  rewind(f);
  char buf[16] = {};
  size_t n = fread(buf, 1, sizeof buf, f);
  EXPECT_EQ(std::string(buf, n), "caf\xe9!");
  iosClose(s);  // closes the file too
  // Reading through the reverse direction gives UTF-8.
  FILE* g = tmpfile();
  ASSERT_NE(g, nullptr);
  fwrite("caf\xe9!", 1, 5, g);
  rewind(g);
  IoStream* r = iosNewFileIO(g);
  ASSERT_EQ(iosWrapConversionInputStream(r, convPipedataToInternal), 0);
  char got[3] = {};
  uint32_t count = 0;
  ASSERT_EQ(iosRead(r, got, 3, &count), 0);
  EXPECT_EQ(std::string(got, count) + testReadAll(r), "caf\xc3\xa9!");
  iosClose(r);
  // An equal pair wraps nothing.
  EXPECT_EQ(iosWrapConversionInputStream(nullptr, 0), 0);

  // "--pipedata" last, without a value: it stays.
  // An unknown name fails its pairs.
  TestArgv last = {"prog", "--pipedata"}, bogus = {"prog", "--filedata", "bogus-set"};
  EXPECT_EQ((std::tuple{convInit(&last.argc, &last.argv), testStrings(last.argv, last.argc),
                        convInit(&bogus.argc, &bogus.argv), testStrings(bogus.argv, bogus.argc),
                        pairOf(convInternalToFiledata)}),
            (std::tuple{0, TestNames{"prog", "--pipedata"}, -1, TestNames{"prog"}, same}));
}

TEST(OsConvHelpers, Utf8DecodeAndMarks) {
  const struct {
    const char* bytes;
    int length;  // the bytes given
    int rc;      // the bytes taken (0: invalid)
    uint32_t cp;
  } decodes[] = {
      {"A", 1, 1, 0x41},         {"\xe2\x82\xac", 3, 3, 0x20AC}, {"\xf0\x9f\x98\x80", 4, 4, 0x1F600},
      {"\xc0\x80", 2, 0, 0},                             // overlong lead
      {"\xe2\x41\x41", 3, 0, 0}, {"\xe2\x82", 2, 0, 0},  // cut short
  };
  for (const auto& d : decodes) {
    uint32_t cp = 0;
    EXPECT_EQ(utf8Decode((const unsigned char*)d.bytes, d.length, &cp), d.rc) << d.bytes;
    EXPECT_TRUE(d.rc == 0 || cp == d.cp) << d.bytes << " gave " << cp;
  }
  const struct {
    const char* bytes;
    uint32_t length;
    int rc, mark;
  } marks[] = {{"\xef\xbb\xbfx", 4, 0, bomUtf8},
               {"\xff\xfe\x00\x00", 4, 0, bomUtf32Le},
               {"\xff\xfe\x41\x00", 4, 0, bomUtf16Le},
               {"\xfe\xff", 2, 0, bomUtf16Be},
               {"\x00\x00\xfe\xff", 4, 0, bomUtf32Be},
               {"\xef\xbb", 2, -1, -9},
               {"abc", 3, -1, -9}};
  for (const auto& m : marks) {
    int e = -9;
    EXPECT_EQ(bomDetect(m.bytes, m.length, &e), m.rc) << m.bytes;
    EXPECT_TRUE(m.rc != 0 || e == m.mark) << m.bytes << " gave " << e;
  }
  auto toUtf8 = [](int encoding, const std::string& bytes) {
    char* out = nullptr;
    const int rc = anyToUtf8(encoding, bytes.data(), (uint32_t)bytes.size(), &out);
    return rc == 0 ? testTakeText(out) : "<fail>";
  };
  EXPECT_EQ(toUtf8(bomUtf16Be, std::string("\x00\x41\x20\xac\xd8\x3d\xde\x00", 8)), "A\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(toUtf8(bomUtf32Le, std::string("\xac\x20\x00\x00", 4)), "\xe2\x82\xac");
  uint16_t w[] = {'h', 'i', 0};
  uint16_t* copy = convWideDup(w);
  EXPECT_EQ((std::tuple{copy[1], copy[2]}), (std::tuple<uint16_t, uint16_t>{'i', 0}));
  memFree(copy);
}

}  // namespace

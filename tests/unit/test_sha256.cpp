// SHA-256 against the FIPS 180-4 example vectors and split updates.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"

namespace {

std::string hexDigest(const std::string& data, size_t step) {
  Sha256 ctx;
  sha256Init(&ctx);
  for (size_t i = 0; i < data.size(); i += step) sha256Update(&ctx, data.data() + i, std::min(step, data.size() - i));
  uint8_t d[32];
  sha256Final(&ctx, d);
  static const char hx[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) s += {hx[b >> 4], hx[b & 15]};
  return s;
}

}  // namespace

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(hexDigest("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexDigest("abc", 64), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 64),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hexDigest(std::string(1000000, 'a'), 4096),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, SplitUpdatesEqualOneUpdate) {
  std::string data;
  for (int i = 0; i < 1000; i++) data += (char)(i * 7 + 3);
  const std::string whole = hexDigest(data, data.size());
  for (size_t step : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) EXPECT_EQ(hexDigest(data, step), whole) << step;
}

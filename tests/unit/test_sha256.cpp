// SHA-256 against the FIPS 180-4 example vectors, each fed in pieces that split the 64-byte blocks differently.
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
  EXPECT_EQ(hexDigest("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 55),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hexDigest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                      "mnopqrstnopqrstu",
                      3),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(hexDigest(std::string(1000000, 'a'), 4095),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

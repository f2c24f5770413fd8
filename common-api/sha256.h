// SHA-256, for the payload digest that ties an installer's archive to its
// signed stub.
#pragma once

#include "compiler.h"

struct Sha256 {
  uint32_t state[8];     // chaining value
  uint64_t totalBytes;   // message length so far
  uint8_t block[64];     // pending partial block
  uint32_t blockLength;  // bytes in `block`
};

void sha256Init(Sha256* ctx);
void sha256Update(Sha256* ctx, const void* data, size_t length);
void sha256Final(Sha256* ctx, uint8_t digest[32]);

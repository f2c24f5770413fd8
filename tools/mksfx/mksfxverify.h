// Checking a built installer the way the stub opens it.
#pragma once

// Opens `installer` as the stub does (probe: end record at the very end),
// lists its entries and checks the payload digest when the stub carries
// one. The process exit code: 0 when the stub would find and accept it.
int mksfxVerify(const char* installer);

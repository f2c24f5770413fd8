// The payload digest block: a marked block in the stub's image where the
// installer builder writes the SHA-256 of the archive before the stub is
// signed. The signature then covers the digest, and the digest covers the
// archive, which sits outside the signed bytes.
#pragma once

#include "compiler.h"

struct IoStream;

// The 32-byte marker that precedes the digest in the image.
inline constexpr uint8_t sfxDigestMarker[32] = {0x89, 'S', 'F', 'X',  '-',  'P',  'A',  'Y',  'L',  'O', 'A',
                                                'D',  '-', 'S', 'H',  'A',  '2',  '5',  '6',  '-',  'B', 'L',
                                                'O',  'C', 'K', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x01, 0x7E};

// True when the builder filled the block (all zeros: no check).
bool sfxDigestPresent();
// Checks the archive bytes from `archiveStart` to the end of `file` against
// the digest. 0 when they match (or no digest is present), -1 otherwise.
// SHA-256 of a file from `start` to its end into digest; the byte count in
// *total when asked. 0, or -1 when the file cannot be opened or read (the
// file layer has logged why).
int sfxDigestFileTail(const char* path, uint64_t start, uint8_t digest[32], uint64_t* total);
int sfxVerifyPayload(const char* exePath, uint64_t archiveStart);

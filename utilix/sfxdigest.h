// The payload digest block: a marked block in the stub's image where the
// installer builder writes the SHA-256 of the archive before the stub is
// signed. The signature then covers the digest, and the digest covers the
// archive, which sits outside the signed bytes.
#pragma once

#include "compiler.h"

struct IoStream;
struct ZipInfo;

// The 32-byte marker that precedes the digest in the image.
inline constexpr uint8_t sfxDigestMarker[32] = {0x89, 'S', 'F', 'X',  '-',  'P',  'A',  'Y',  'L',  'O', 'A',
                                                'D',  '-', 'S', 'H',  'A',  '2',  '5',  '6',  '-',  'B', 'L',
                                                'O',  'C', 'K', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x01, 0x7E};

// True when the builder filled the block (all zeros: no check).
bool sfxDigestPresent();
// SHA-256 of a stream from `start` to its end into digest; the byte count in
// *total when asked. 0, or -1 when it cannot be read (logged by the stream).
int sfxDigestStream(IoStream* in, uint64_t start, uint8_t digest[32], uint64_t* total);
// sfxDigestStream of a file opened by path (the installer builder's check).
int sfxDigestFileTail(const char* path, uint64_t start, uint8_t digest[32], uint64_t* total);
// Checks the archive bytes of an open archive, from its start to the end of
// the file, against `expected`. 0 when they match, -1 (logged FATAL) when
// they do not or cannot be read.
int sfxCheckPayload(ZipInfo* zip, const char* exePath, const uint8_t expected[32]);
// sfxCheckPayload against the digest signed into this stub; 0 when the
// builder left the block empty.
int sfxVerifyPayload(ZipInfo* zip, const char* exePath);

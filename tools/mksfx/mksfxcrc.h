// Checking every entry's data of an opened archive, for mksfx --verify.
#pragma once

struct ZipInfo;

// Reads every file and link entry of `zip` as the installer does (local
// header, inflate for deflated entries) and compares its size and CRC-32
// with the central directory, printing one line per bad entry on stderr.
// The number of bad entries (0 when all are sound).
int mksfxCheckEntries(ZipInfo* zip, const char* installer);

// Checking every entry's name and data of an opened archive, for mksfx
// --verify and for archives packed with --zip.
#pragma once

struct ZipInfo;

// Reads every file and link entry of `zip` as the installer does (local
// header, inflate for deflated entries) and compares its size and CRC-32
// with the central directory, printing one line per bad entry on stderr.
// The number of bad entries (0 when all are sound).
int mksfxCheckEntries(ZipInfo* zip, const char* installer);

// Checks every entry's name with the installer's own rules, and refuses an
// entry that lies behind a symbolic link entry before it (the installer
// writes nothing through a link of its archive) and, for a Windows stub, a
// name with a character Windows does not allow (its installer would fail
// on every machine), printing one line per bad entry on stderr. The number
// of bad entries (0 when all are sound).
int mksfxCheckNames(ZipInfo* zip, const char* installer, bool windows);

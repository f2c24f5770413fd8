// Private to the OS layer: the hooks each backend supplies to the directory
// module's shared code.
#pragma once

#include "osdir.h"

// Backend: lists the roots of the file system ("/" on POSIX, the fixed and
// network drives on Windows) as directories under "<DiskDevices>", honouring
// the filter and osDirFlagStopOnFailure. *count receives how many reached
// the callback. 0, or -1 when listing or a callback failed.
int dirPrimEnumerateRoots(OsDirCallback callback, void* context, int filter, uint32_t flags, int* count);
// Backend: lists one directory for osDirEnumerateEntries; *count as above,
// or -1 when the directory could not be opened. A missing directory is
// empty (0).
int dirPrimEnumerate(const char* directory, OsDirCallback callback, void* context, int filter, uint32_t flags,
                     int* count);

// Compiler helpers shared by every module: printf format checking that
// matches the C99 printf the build links (mingw's ANSI stdio on Windows).
#pragma once

#include <cinttypes>
#include <cstddef>
#include <cstdint>

#if defined(__MINGW_PRINTF_FORMAT)
#define SFX_PRINTF(fmtIndex, argIndex) __attribute__((format(__MINGW_PRINTF_FORMAT, fmtIndex, argIndex)))
#else
#define SFX_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#endif

#define SFX_NORETURN [[noreturn]]
#define SFX_ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))

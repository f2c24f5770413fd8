// Build constants, fixed at build time.
#pragma once

inline constexpr const char* buildId = "2025.1.0-20250129_14-41a0bf0acd5";
inline constexpr const char* releaseVersion = "2025.1.0-20250129_14";
inline constexpr const char* versionTag = "2025_1_0_20250129_14";
inline constexpr const char* buildDate = "2025-01-29";

// A seam of the Windows file backend for its tests: the step that swaps a rewritten file into
// the place of the old one, so that a test can make it fail the ways the system can.
#pragma once

#include <windows.h>

namespace hv::platform {

/// Called instead of the system's ReplaceFileW (same arguments, same result and last error)
/// while set; null restores the system's.
using ReplaceFileFunction = BOOL(WINAPI*)(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup,
                                          DWORD flags, LPVOID exclude, LPVOID reserved);
void set_replace_file_function(ReplaceFileFunction function);

}  // namespace hv::platform

// The console control handler of run mode (stop_win32.cpp), named here for the tests, which
// hand it events that no test can make the system send.
#pragma once

#include <windows.h>

namespace hv::platform {

/// Sets the stop request for Ctrl+C, Ctrl+Break, console close, logoff (not in service mode,
/// see set_service_mode) and shutdown; for the last three it holds the system until the
/// orderly stop has finished, at most 5 s. TRUE for every event it handled.
BOOL WINAPI on_console_event(DWORD type);

}  // namespace hv::platform

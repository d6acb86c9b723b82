// The stop request of run mode: set by SIGTERM and SIGINT (POSIX) or by Ctrl+C, Ctrl+Break and
// console close (Windows); looked at by the monitor loop between checks and in its sleeps.
#pragma once

namespace hv::platform {

/// Installs the handlers that set the stop request. Call once, on the main thread.
void install_stop_handler();

/// True once a stop was requested. Safe from any thread.
bool stop_requested();

/// Sets the stop request by hand (tests, and the Windows close handler).
void request_stop();

/// Clears the stop request (tests only).
void clear_stop_request();

/// Tells a waiting console-close handler that the orderly stop has finished (Windows: the
/// process is ended by the system once the handler returns). Does nothing on POSIX.
void stop_finished();

}  // namespace hv::platform

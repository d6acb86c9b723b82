// The stop request of run mode: set by SIGTERM and SIGINT (POSIX) or by Ctrl+C, Ctrl+Break,
// console close and the instance's stop event (Windows); looked at by the monitor loop between
// checks and in its sleeps, and by running probes, which it ends.
#pragma once

#include <string>

namespace hv::platform {

/// Installs the handlers that set the stop request. Call once, on the main thread.
void install_stop_handler();

/// Lets `-stop` reach this instance, which holds the PID file known by `file_key`
/// (LockedFile::file_key). Windows: creates the named event that request_instance_stop sets,
/// in the global namespace when allowed, else in this session's. POSIX: nothing to do, SIGTERM
/// is the request. Call once, after the PID file is claimed.
void accept_stop_requests(const std::string& file_key);

/// Marks this process as running as a service (Windows). The system sends a service's process
/// the console's logoff event whenever any user logs off: that is then no stop request. The
/// service manager's stop and shutdown controls are. Does nothing on POSIX.
void set_service_mode();

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

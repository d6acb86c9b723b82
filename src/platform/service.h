// Running under a service manager: the Windows service control manager (install, remove, the
// service entry and its status reports) and systemd's readiness notification on POSIX.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hv::platform {

/// Tells the service manager that run mode has started up and monitors. POSIX: sends "READY=1"
/// to the datagram socket named by $NOTIFY_SOCKET when it is set (systemd's Type=notify), then
/// removes the variable so that children do not inherit it. Windows: reports SERVICE_RUNNING
/// when the process runs as a service (see run_as_service). Otherwise nothing. Main thread only.
void service_report_running();

/// The work a service does: run mode. Returns the process exit code.
using ServiceBody = int (*)(void* context);

/// Windows: connects to the service control manager as the service `name`, makes
/// `working_directory` current, reports start pending and runs `body` on the service thread.
/// A stop, shutdown or pre-shutdown control sets the stop request (stop.h) and reports stop
/// pending, asking for more time every few seconds until `body` returns; then SERVICE_STOPPED is
/// reported with body's exit code (a non-zero code as a service-specific error).
/// Returns body's exit code; -1 when the process was not started by the service manager, or the
/// working directory cannot be entered (then the service reports stopped with that error).
/// POSIX: returns -1 at once.
int run_as_service(const std::string& name, const std::string& working_directory, ServiceBody body,
                   void* context);

enum class ServiceError {
    none,
    not_supported,  ///< no service control manager on this system
    access_denied,  ///< the caller is not an administrator
    exists,         ///< install: a service with this name is already registered
    not_found,      ///< uninstall: no service with this name
    not_ours,       ///< uninstall: the service does not run this program
    still_running,  ///< uninstall: the service did not stop in time; it was not removed
    failed,         ///< any other failure, described by `detail`
};

struct ServiceOutcome {
    ServiceOutcome() = default;
    ServiceOutcome(ServiceError e, std::string text = {}) : error(e), detail(std::move(text)) {}

    ServiceError error = ServiceError::none;
    std::string detail;  ///< the failing call and the system's message, for `failed`
    /// Install: settings the service manager refused although the service was registered
    /// (for example delayed start on a system without it), one text each.
    std::vector<std::string> warnings;
};

/// Windows: registers the service `name` that runs this executable in `working_directory` as
/// "<exe> -service <name> <directory>": started automatically (delayed start) under the local
/// system account, restarted by the service manager after a crash, with up to 180 s to stop at
/// system shutdown. Needs administrator rights. A refused setting other than the registration
/// itself is reported in `warnings`; the service stays. POSIX: not_supported.
ServiceOutcome install_service(const std::string& name, const std::string& working_directory);

/// Windows: stops the service `name` when it runs (waiting for its orderly stop, up to 200 s)
/// and removes it. Leaves alone a service that does not run this executable. POSIX:
/// not_supported.
ServiceOutcome uninstall_service(const std::string& name);

}  // namespace hv::platform

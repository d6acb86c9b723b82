#include "shell/run_mode.h"

#include <cstdio>
#include <cstdlib>

#include "output/sinks.h"
#include "platform/instance.h"
#include "platform/service.h"
#include "platform/stop.h"
#include "shell/commands.h"
#include "shell/pid_file.h"
#include "shell/session.h"

namespace hv {
namespace {

void remove_own_pid_file_at_exit() {
    remove_own_pid_file();
}

}  // namespace

int run_mode(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
             std::int32_t& heartbeat_state) {
    platform::install_stop_handler();

    std::uint32_t pid = read_pid_file();
    if (pid != 0 && platform::is_instance_alive(pid)) {
        std::printf("hostvigil already running\n");
        return 1;
    }
    // Whatever the file holds, it names no live instance of this program. Another instance
    // starting at the same moment may have published its own file since it was read, so the
    // file is cleared only after a second look.
    if (pid_file_exists())
        remove_stale_pid_file();

    if (load_monitor_config(settings, hosts) != MonitorLoadResult::ok)
        return 1;
    load_alert_config(alerts);

    switch (claim_pid_file()) {
        case ClaimResult::claimed:
            break;
        case ClaimResult::already_running:
            std::printf("hostvigil already running\n");
            return 1;
        case ClaimResult::unwritable:
            std::printf("Unable to write pid file %s\n", kPidFile);
            return 1;
    }
    // Only the instance that holds the PID file touches the alert file.
    conceal_alert_secrets(alerts);
    std::fflush(stdout);
    std::atexit(remove_own_pid_file_at_exit);

    console_print("\n%s\n\n", banner_text());
    console_print(
        "Targets: %d  Interval: %d sec  FastRetry: %d sec  PingCount: %d  Workers: %d\n\n",
        settings.host_count, settings.interval, settings.fast_retry_interval, settings.pingcount,
        settings.workers);
    // Start-up is complete: a service manager waiting for it (systemd's Type=notify, the
    // Windows service control manager) now sees the instance running.
    platform::service_report_running();

    run_session(settings, hosts, alerts, heartbeat_state);

    remove_own_pid_file();
    platform::stop_finished();
    return 0;
}

}  // namespace hv

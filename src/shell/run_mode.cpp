#include "shell/run_mode.h"

#include <cstdio>
#include <memory>

#include "notify/transient_file.h"
#include "output/sinks.h"
#include "platform/instance.h"
#include "platform/lock_file.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/stop.h"
#include "shell/commands.h"
#include "shell/pid_file.h"
#include "shell/session.h"

namespace hv {

int run_mode(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
             std::int32_t& heartbeat_state) {
    platform::install_stop_handler();

    // A running instance holds the PID file's lock; whatever a file nobody holds says, it is
    // no instance, and claiming it below takes it over.
    if (platform::probe_lock_file(kPidFile).state == platform::LockProbe::State::locked) {
        std::printf("hostvigil already running\n");
        return 1;
    }

    if (load_monitor_config(settings, hosts) != MonitorLoadResult::ok ||
        !has_hosts_to_watch(settings.host_count))
        return 1;
    if (load_alert_config(alerts) != AlertLoadResult::ok)
        return 1;

    std::unique_ptr<platform::LockedFile> pid_file;
    switch (platform::LockedFile::claim(kPidFile, pid_file)) {
        case platform::LockedFile::Claim::claimed:
            break;
        case platform::LockedFile::Claim::held:
            std::printf("hostvigil already running\n");
            return 1;
        case platform::LockedFile::Claim::not_regular:
        case platform::LockedFile::Claim::failed:
            std::printf("Unable to write pid file %s\n", kPidFile);
            return 1;
    }
    platform::accept_stop_requests(pid_file->file_key());
    // Message files of an instance killed during a send hold alert texts: they go now.
    sweep_transient_files();
    // Only the instance that holds the PID file touches the alert file.
    conceal_alert_secrets(alerts);
    std::fflush(stdout);
    // A silent instance prints nothing more: a -start waiting on its output sees the end now.
    if (is_silent())
        platform::release_standard_output();

    console_print("\n%s\n\n", banner_text());
    console_print(
        "Targets: %d  Interval: %d sec  FastRetry: %d sec  PingCount: %d  Workers: %d\n\n",
        settings.host_count, settings.interval, settings.fast_retry_interval, settings.pingcount,
        settings.workers);
    // Start-up is complete: a service manager waiting for it (systemd's Type=notify, the
    // Windows service control manager) now sees the instance running.
    platform::service_report_running();

    run_session(settings, hosts, alerts, heartbeat_state);

    pid_file->remove();
    platform::stop_finished();
    return 0;
}

}  // namespace hv

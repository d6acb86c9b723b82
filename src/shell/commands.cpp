#include "shell/commands.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "config/monitor_config.h"
#include "platform/instance.h"
#include "platform/process.h"
#include "report/report_view.h"
#include "shell/pid_file.h"
#include "state/host_state.h"

namespace hv {

const char* banner_text() {
    static const std::string text = std::string("HOSTVIGIL ") + platform::os_name() +
                                    " Version 1.0 - host monitor by the hostvigil developers";
    return text.c_str();
}

int print_usage(const char* program) {
    std::printf("\n%s\n\n", banner_text());
    std::printf("Usage:\n");
    for (const char* command :
         {"-start", "-stop", "-status", "-summary", "-check", "-test", "-s"}) {
        std::printf("  %s %s\n", program, command);
    }
    std::printf("  %s -install [NAME] | -uninstall [NAME]\n", program);
    std::printf("  %s -h | --help\n", program);
    std::printf("\nOptions:\n");
    std::printf("  -start        Start in background mode\n");
    std::printf("  -stop         Stop running instance\n");
    std::printf("  -status       Show running status\n");
    std::printf("  -summary      Show every host's state, since when, round trip and uptime\n");
    std::printf("  -check        Validate config file format\n");
    std::printf("  -test         Send test email / Telegram / Teams alert\n");
    std::printf("  -s            Silent mode\n");
    std::printf("  -install      Install a Windows service running here (NAME: hostvigil)\n");
    std::printf("  -uninstall    Stop and remove the Windows service (NAME: hostvigil)\n");
    std::printf("  -h, --help    Show this help\n");
    std::printf("\nConfig note:\n");
    std::printf("  workers : \"2\"    Concurrent host checks, valid range 1-%d, default %d\n",
                kMaxWorkers, kDefaultWorkers);
    return 0;
}

int command_start() {
    if (platform::start_detached_self({"-s"})) {
        std::printf("hostvigil start requested\n");
        return 0;
    }
    std::printf("start failed\n");
    return 1;
}

int command_stop() {
    std::uint32_t pid = read_pid_file();
    if (pid == 0) {
        std::printf("hostvigil not running\n");
        return 0;
    }
    if (!platform::is_instance_alive(pid)) {
        std::printf("hostvigil pid file exists but process not alive\n");
        remove_pid_file();
        return 0;
    }
    if (platform::stop_instance(pid) != platform::StopResult::stopped) {
        std::printf("Unable to stop hostvigil pid %lu\n", static_cast<unsigned long>(pid));
        return 1;
    }
    // The instance removes its own file on an orderly stop; this covers a forced one.
    if (read_pid_file() == pid)
        remove_pid_file();
    std::printf("hostvigil stopped\n");
    return 0;
}

int command_status() {
    std::uint32_t pid = read_pid_file();
    if (pid == 0) {
        std::printf("hostvigil not running\n");
    } else if (platform::is_instance_alive(pid)) {
        std::printf("hostvigil running pid %lu\n", static_cast<unsigned long>(pid));
    } else {
        std::printf("hostvigil pid file exists but process dead\n");
    }
    return 0;
}

}  // namespace hv

namespace hv {

int command_summary(MonitorSettings& settings, HostTable& hosts) {
    state::Snapshot snapshot;
    std::string reason;
    switch (state::load_state(state::kStateFile, snapshot, reason)) {
        case state::LoadResult::loaded:
            break;
        case state::LoadResult::missing:
            std::printf("No state file %s yet: run mode writes it after its first round\n",
                        state::kStateFile);
            return 1;
        case state::LoadResult::ignored:
            std::printf("State file %s cannot be used: %s\n", state::kStateFile, reason.c_str());
            return 1;
    }
    if (load_monitor_config(settings, hosts) != MonitorLoadResult::ok)
        return 1;
    const std::int64_t last_round = snapshot.last_round;
    const std::int64_t round_duration_us = snapshot.round_duration_us;
    state::restore_hosts(hosts, settings.host_count, std::move(snapshot));

    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    ReportView view = make_report_view(settings, hosts, now);
    view.last_round = last_round;
    view.round_duration_us = round_duration_us;
    std::fputs(render_summary(view, now).c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace hv

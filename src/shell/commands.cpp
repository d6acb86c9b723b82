#include "shell/commands.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "config/monitor_config.h"
#include "platform/instance.h"
#include "platform/lock_file.h"
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

namespace {

using LockState = platform::LockProbe::State;

// How long -stop waits for the instance to end: sends in flight get curl's own bound of
// 60 s each, and the queue behind them is sent too, so this is generous on purpose.
constexpr int kStopWaitSeconds = 150;
// How long -start waits for the new instance to hold its PID file or to fail.
constexpr int kStartWaitSeconds = 30;

std::string without_carriage_returns(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r')
            out += c;
    }
    return out;
}

bool holds_pid_file(std::uint32_t pid) {
    platform::LockProbe probe = platform::probe_lock_file(kPidFile);
    if (probe.state != LockState::locked)
        return false;
    return probe.holder_pid != 0 ? probe.holder_pid == pid : probe.recorded_pid == pid;
}

// Asks the instance to stop and waits for it to end, showing that it waits. Never kills it.
int stop_and_wait(const PidFileLook& look) {
    const unsigned long pid = look.pid;
    switch (platform::request_instance_stop(look.pid, look.file_key)) {
        case platform::StopRequest::sent:
            break;
        case platform::StopRequest::other_user:
            std::printf("Unable to stop hostvigil pid %lu: it belongs to another user\n", pid);
            return 1;
        case platform::StopRequest::not_found:
            std::printf("Unable to stop hostvigil pid %lu\n", pid);
            return 1;
        case platform::StopRequest::not_holder:
            std::printf("Unable to stop hostvigil pid %lu: it does not hold %s\n", pid, kPidFile);
            return 1;
        case platform::StopRequest::unconfirmed:
            std::printf("Unable to stop hostvigil pid %lu: cannot see whether it holds %s\n", pid,
                        kPidFile);
            return 1;
    }
    // An idle instance ends within about a second (its rounds look at the stop request once a
    // second); a wait of several seconds is sends being finished, and is shown.
    constexpr int kQuietWaitSeconds = 3;
    bool shown = false;
    for (int waited = 1; !platform::wait_for_process_end(look.pid, 1000); ++waited) {
        if (waited < kQuietWaitSeconds)
            continue;
        if (!shown) {
            std::printf("Waiting for hostvigil pid %lu to finish its sends ", pid);
            shown = true;
        }
        std::printf(".");
        std::fflush(stdout);
        if (waited >= kStopWaitSeconds) {
            std::printf(
                "\nhostvigil pid %lu has not stopped after %d s; it was left running, "
                "not killed\n",
                pid, kStopWaitSeconds);
            return 1;
        }
    }
    if (shown)
        std::printf("\n");
    // An instance that ended without its orderly stop leaves its file behind.
    platform::remove_unlocked_file(kPidFile);
    std::printf("hostvigil stopped\n");
    return 0;
}

}  // namespace

int command_start() {
    platform::DetachedStart start =
        platform::start_detached_self({"-s"}, kStartWaitSeconds, holds_pid_file);
    if (!start.created) {
        std::printf("start failed\n");
        return 1;
    }
    // The instance's own words: a loader's notice, or why it did not start.
    std::string said = without_carriage_returns(start.output);
    std::fputs(said.c_str(), stdout);
    const unsigned long pid = start.pid;
    if (start.ready) {
        std::printf("hostvigil started pid %lu\n", pid);
        return 0;
    }
    if (start.ended) {
        if (said.empty())
            std::printf("hostvigil ended at start with exit code %d\n", start.exit_code);
        return 1;
    }
    std::printf("hostvigil pid %lu has not claimed %s within %d s\n", pid, kPidFile,
                kStartWaitSeconds);
    return 1;
}

int command_stop() {
    PidFileLook look = look_at_pid_file();
    switch (look.state) {
        case LockState::missing:
        case LockState::not_regular:
            std::printf("hostvigil not running\n");
            return 0;
        case LockState::unreadable:
            std::printf("Unable to read pid file %s\n", kPidFile);
            return 1;
        case LockState::unlocked:
            if (look.pid == 0) {
                std::printf("hostvigil not running\n");
                return 0;
            }
            std::printf("hostvigil pid file exists but process not alive\n");
            platform::remove_unlocked_file(kPidFile);
            return 0;
        case LockState::locked:
            break;
    }
    return stop_and_wait(look);
}

int command_status() {
    PidFileLook look = look_at_pid_file();
    const unsigned long pid = look.pid;
    switch (look.state) {
        case LockState::missing:
        case LockState::not_regular:
            std::printf("hostvigil not running\n");
            return 0;
        case LockState::unreadable:
            std::printf("Unable to read pid file %s\n", kPidFile);
            return 1;
        case LockState::unlocked:
            if (look.pid == 0) {
                std::printf("hostvigil not running\n");
            } else if (platform::is_instance_alive(look.pid)) {
                // A running copy of this program that does not hold this file: another
                // directory's instance, whose number was written here. It is left alone.
                std::printf("hostvigil not running here (pid %lu in %s is another instance's)\n",
                            pid, kPidFile);
            } else {
                std::printf("hostvigil pid file exists but process dead\n");
            }
            return 0;
        case LockState::locked:
            break;
    }
    if (platform::check_stop_request(look.pid, look.file_key) ==
        platform::StopRequest::other_user) {
        std::printf("hostvigil running (pid %lu, owned by another user)\n", pid);
    } else {
        std::printf("hostvigil running pid %lu\n", pid);
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
        case state::LoadResult::directory:
            std::printf("%s is a directory; state will not be kept\n", state::kStateFile);
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

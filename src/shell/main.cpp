// Entry point: walks the arguments once, runs the first command it recognises, or monitors.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/alert_config.h"
#include "config/checker.h"
#include "config/monitor_config.h"
#include "notify/selftest.h"
#include "output/sinks.h"
#include "platform/socket.h"
#include "shell/commands.h"
#include "shell/run_mode.h"
#include "shell/service_commands.h"

namespace {

// The process-wide records: filled on the main thread before any worker exists.
hv::MonitorSettings monitor_settings;
hv::HostTable host_table;
hv::AlertSettings alert_settings;

int command_test() {
    if (hv::load_monitor_config(monitor_settings, host_table) != hv::MonitorLoadResult::ok)
        return 1;
    hv::load_alert_config(alert_settings);
    hv::conceal_alert_secrets(alert_settings);
    return hv::run_notification_test(monitor_settings, alert_settings);
}

// Run mode as the service manager starts it; the context is the heartbeat state.
int service_run_mode(void* heartbeat_state) {
    return hv::run_mode(monitor_settings, host_table, alert_settings,
                        *static_cast<std::int32_t*>(heartbeat_state));
}

// The optional NAME after -install and -uninstall: the next argument unless it is an option.
const char* service_name_argument(int argc, char** argv, int i) {
    if (i + 1 < argc && argv[i + 1][0] != '-')
        return argv[i + 1];
    return hv::kDefaultServiceName;
}

}  // namespace

int main(int argc, char** argv) {
    std::int32_t heartbeat_state = -1;
    hv::platform::net_startup();

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-s") == 0) {
            hv::set_silent(true);
            continue;
        }
        if (std::strcmp(arg, "-start") == 0)
            return hv::command_start();
        if (std::strcmp(arg, "-stop") == 0)
            return hv::command_stop();
        if (std::strcmp(arg, "-status") == 0)
            return hv::command_status();
        if (std::strcmp(arg, "-summary") == 0)
            return hv::command_summary(monitor_settings, host_table);
        if (std::strcmp(arg, "-check") == 0)
            return hv::run_config_check();
        if (std::strcmp(arg, "-test") == 0)
            return command_test();
        if (std::strcmp(arg, "-install") == 0)
            return hv::command_install(service_name_argument(argc, argv, i));
        if (std::strcmp(arg, "-uninstall") == 0)
            return hv::command_uninstall(service_name_argument(argc, argv, i));
        if (std::strcmp(arg, "-service") == 0) {
            if (i + 2 >= argc) {
                std::printf("-service needs a service name and a directory\n");
                return 1;
            }
            return hv::command_service(argv[i + 1], argv[i + 2], service_run_mode,
                                       &heartbeat_state);
        }
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            return hv::print_usage(argv[0]);
        }
        // Anything else is ignored without a message.
    }
    return hv::run_mode(monitor_settings, host_table, alert_settings, heartbeat_state);
}

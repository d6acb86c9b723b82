#include "shell/service_commands.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "output/sinks.h"
#include "platform/instance.h"

namespace hv {
namespace {

constexpr std::size_t kMaxServiceNameLength = 80;

const char* const kNotSupported =
    "Windows services only: on Linux use the systemd units hostvigil.service and "
    "hostvigil@.service (see README)\n";

}  // namespace

bool valid_service_name(const char* name) {
    std::size_t length = std::strlen(name);
    if (length == 0 || length > kMaxServiceNameLength || name[0] == '-')
        return false;
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

int command_install(const char* name) {
    if (!valid_service_name(name)) {
        std::printf("Invalid service name \"%s\": use up to %zu letters, digits, '-', '_', '.'\n",
                    name, kMaxServiceNameLength);
        return 1;
    }
    std::error_code error;
    std::string directory = std::filesystem::current_path(error).string();
    if (error || directory.empty()) {
        std::printf("Unable to install service %s: the current directory is unknown\n", name);
        return 1;
    }
    platform::ServiceOutcome outcome = platform::install_service(name, directory);
    switch (outcome.error) {
        case platform::ServiceError::none:
            break;
        case platform::ServiceError::not_supported:
            std::printf("%s", kNotSupported);
            return 1;
        case platform::ServiceError::access_denied:
            std::printf(
                "Unable to install service %s: administrator rights are needed (run the "
                "command prompt as administrator)\n",
                name);
            return 1;
        case platform::ServiceError::exists:
            std::printf(
                "Unable to install service %s: a service of that name exists already "
                "(remove it with -uninstall %s, or choose another name)\n",
                name, name);
            return 1;
        default:
            std::printf("Unable to install service %s: %s\n", name, outcome.detail.c_str());
            return 1;
    }
    std::printf("Service %s installed: runs %s in %s\n", name,
                platform::own_executable_path().c_str(), directory.c_str());
    std::printf(
        "It starts automatically after boot (delayed start) and is restarted after a "
        "crash.\n");
    if (!std::filesystem::exists(std::filesystem::path(directory) / "hostvigil_host.txt", error))
        std::printf(
            "Note: %s has no hostvigil_host.txt yet; the service cannot start without "
            "it.\n",
            directory.c_str());
    std::printf("Start it now with: net start %s\n", name);
    return 0;
}

int command_uninstall(const char* name) {
    if (!valid_service_name(name)) {
        std::printf("Invalid service name \"%s\"\n", name);
        return 1;
    }
    platform::ServiceOutcome outcome = platform::uninstall_service(name);
    switch (outcome.error) {
        case platform::ServiceError::none:
            std::printf("Service %s removed\n", name);
            return 0;
        case platform::ServiceError::not_supported:
            std::printf("%s", kNotSupported);
            return 1;
        case platform::ServiceError::access_denied:
            std::printf(
                "Unable to remove service %s: administrator rights are needed (run the "
                "command prompt as administrator)\n",
                name);
            return 1;
        case platform::ServiceError::not_found:
            std::printf("Unable to remove service %s: no such service\n", name);
            return 1;
        case platform::ServiceError::not_ours:
            std::printf("Unable to remove service %s: it does not run hostvigil, left alone\n",
                        name);
            return 1;
        case platform::ServiceError::still_running:
            std::printf("Unable to remove service %s: it did not stop in time\n", name);
            return 1;
        default:
            std::printf("Unable to remove service %s: %s\n", name, outcome.detail.c_str());
            return 1;
    }
}

int command_service(const char* name, const char* directory, platform::ServiceBody run_mode_body,
                    void* context) {
    // A service has no console: everything worth keeping goes to the event log.
    set_silent(true);
    int code = platform::run_as_service(name, directory, run_mode_body, context);
    if (code == -1) {
        std::printf(
            "-service is the entry the Windows service manager uses; install a service "
            "with -install\n");
        return 1;
    }
    return code;
}

}  // namespace hv

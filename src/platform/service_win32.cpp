#include "platform/service.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/instance.h"
#include "platform/stop.h"

namespace hv::platform {
namespace {

// Time the service manager is asked for in each stop-pending report; the report is renewed
// every few seconds while the orderly stop runs, so the whole stop may take longer.
constexpr DWORD kStopWaitHintMs = 30000;
constexpr DWORD kStopCheckpointEveryMs = 5000;
// Time Windows waits for the orderly stop at shutdown (pre-shutdown notification): a send in
// flight is bounded by curl's 60 s, and the queued sends follow.
constexpr DWORD kPreshutdownTimeoutMs = 180000;
// How long -uninstall waits for a running service to stop.
constexpr DWORD kUninstallStopWaitMs = 200000;

struct ScHandle {
    SC_HANDLE h = nullptr;
    explicit ScHandle(SC_HANDLE handle) : h(handle) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() {
        if (h != nullptr)
            CloseServiceHandle(h);
    }
};

struct EventHandle {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EventHandle() = default;
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    ~EventHandle() {
        if (h != nullptr)
            CloseHandle(h);
    }
};

std::string system_message(const char* call, DWORD code) {
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = '\0';
    char line[700];
    std::snprintf(line, sizeof line, "%s: %s (error %lu)", call, n > 0 ? text : "unknown error",
                  static_cast<unsigned long>(code));
    return line;
}

ServiceOutcome failure(const char* call) {
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED)
        return {ServiceError::access_denied, system_message(call, code)};
    return {ServiceError::failed, system_message(call, code)};
}

// One argument quoted so that the C runtime's argument parser gives it back unchanged:
// backslashes before the closing quote are doubled (a directory such as C:\ ends in one).
std::string quote_argument(const std::string& text) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// The service this process runs as. The service manager calls the service's main function
// without a context, so the one run in progress is reached through this pointer; it is set
// before the dispatcher starts and cleared after it returns.
struct ServiceRun {
    std::string name;
    std::string directory;
    ServiceBody body = nullptr;
    void* context = nullptr;
    int exit_code = -1;
    SERVICE_STATUS_HANDLE status_handle = nullptr;
    std::mutex lock;  // guards status and its reports
    SERVICE_STATUS status{};
    EventHandle stopping;  // set by the control handler
    EventHandle finished;  // set when body has returned
};
ServiceRun* active_run = nullptr;

void report(ServiceRun& run, DWORD state, DWORD wait_hint_ms) {
    std::lock_guard<std::mutex> guard(run.lock);
    // Once the stop has begun, a late "running" report from run mode must not undo it.
    if (state == SERVICE_RUNNING && run.status.dwCurrentState == SERVICE_STOP_PENDING)
        return;
    run.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    run.status.dwCurrentState = state;
    run.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    run.status.dwWaitHint = wait_hint_ms;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    run.status.dwCheckPoint = pending ? run.status.dwCheckPoint + 1 : 0;
    SetServiceStatus(run.status_handle, &run.status);
}

void report_stopped(ServiceRun& run, int exit_code, DWORD win32_error) {
    std::lock_guard<std::mutex> guard(run.lock);
    run.status.dwCurrentState = SERVICE_STOPPED;
    run.status.dwControlsAccepted = 0;
    run.status.dwCheckPoint = 0;
    run.status.dwWaitHint = 0;
    run.status.dwWin32ExitCode = win32_error;
    run.status.dwServiceSpecificExitCode = 0;
    if (win32_error == NO_ERROR && exit_code != 0) {
        run.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        run.status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
    }
    SetServiceStatus(run.status_handle, &run.status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void* context) {
    auto& run = *static_cast<ServiceRun*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_PRESHUTDOWN:
            report(run, SERVICE_STOP_PENDING, kStopWaitHintMs);
            request_stop();
            SetEvent(run.stopping.h);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// While the orderly stop runs, renews the stop-pending report so that the service manager
// keeps waiting instead of declaring the service hung.
void keep_stop_pending(ServiceRun& run) {
    HANDLE events[] = {run.finished.h, run.stopping.h};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return;
    while (WaitForSingleObject(run.finished.h, kStopCheckpointEveryMs) == WAIT_TIMEOUT)
        report(run, SERVICE_STOP_PENDING, kStopWaitHintMs);
}

void WINAPI service_main(DWORD, char**) {
    ServiceRun& run = *active_run;
    set_service_mode();
    run.status_handle = RegisterServiceCtrlHandlerExA(run.name.c_str(), on_control, &run);
    if (run.status_handle == nullptr)
        return;
    report(run, SERVICE_START_PENDING, 10000);
    if (!SetCurrentDirectoryA(run.directory.c_str())) {
        report_stopped(run, -1, GetLastError());
        return;
    }
    std::thread keeper(keep_stop_pending, std::ref(run));
    run.exit_code = run.body(run.context);
    SetEvent(run.finished.h);
    keeper.join();
    report_stopped(run, run.exit_code, NO_ERROR);
}

// The executable named at the start of a service's command line, quoted or not.
std::string command_program(const char* command_line) {
    std::string text = command_line;
    if (!text.empty() && text[0] == '"') {
        std::size_t end = text.find('"', 1);
        return text.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return text.substr(0, text.find(' '));
}

std::string base_name(const std::string& path) {
    std::size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    CharLowerBuffA(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

// True when the service runs this program in service mode (so -uninstall never removes a
// service of another program that happens to have the name given).
bool runs_this_program(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::string buffer(needed, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service, config, needed, &needed) ||
        config->lpBinaryPathName == nullptr)
        return false;
    std::string command = config->lpBinaryPathName;
    return command.find(" -service ") != std::string::npos &&
           base_name(command_program(command.c_str())) == base_name(own_executable_path());
}

bool wait_until_stopped(SC_HANDLE service, DWORD limit_ms) {
    ULONGLONG deadline = GetTickCount64() + limit_ms;
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(250);
    }
    return true;
}

}  // namespace

void service_report_running() {
    if (active_run != nullptr && active_run->status_handle != nullptr)
        report(*active_run, SERVICE_RUNNING, 0);
}

int run_as_service(const std::string& name, const std::string& working_directory, ServiceBody body,
                   void* context) {
    ServiceRun run;
    run.name = name;
    run.directory = working_directory;
    run.body = body;
    run.context = context;
    active_run = &run;
    SERVICE_TABLE_ENTRYA table[] = {{run.name.data(), service_main}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherA(table);
    active_run = nullptr;
    return dispatched ? run.exit_code : -1;
}

ServiceOutcome install_service(const std::string& name, const std::string& working_directory) {
    std::string program = own_executable_path();
    if (program.empty())
        return failure("GetModuleFileName");
    std::string command = quote_argument(program) + " -service " + quote_argument(name) + " " +
                          quote_argument(working_directory);
    std::string display = name == "hostvigil" ? "hostvigil" : "hostvigil (" + name + ")";

    ScHandle manager(
        OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (manager.h == nullptr)
        return failure("OpenSCManager");
    ScHandle service(CreateServiceA(manager.h, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    if (service.h == nullptr) {
        DWORD code = GetLastError();
        if (code == ERROR_SERVICE_EXISTS || code == ERROR_DUPLICATE_SERVICE_NAME)
            return {ServiceError::exists, system_message("CreateService", code)};
        SetLastError(code);
        return failure("CreateService");
    }

    std::string about = "Watches the hosts configured in " + working_directory +
                        " and sends alerts when they stop answering.";
    SERVICE_DESCRIPTIONA description{about.data()};
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    // A crash (the process ends without reporting that it stopped) is followed by a restart
    // after 10 s, then 60 s; the count starts again after a day without one. A start-up refusal
    // (exit code 1: configuration missing, instance already running) is no crash and is not
    // retried.
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure_actions{};
    failure_actions.dwResetPeriod = 86400;
    failure_actions.cActions = 3;
    failure_actions.lpsaActions = actions;
    SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownTimeoutMs};
    struct Setting {
        DWORD level;
        void* info;
        const char* call;
    } settings[] = {
        {SERVICE_CONFIG_DESCRIPTION, &description, "ChangeServiceConfig2 (description)"},
        {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, "ChangeServiceConfig2 (delayed start)"},
        {SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions,
         "ChangeServiceConfig2 (recovery actions)"},
        {SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown, "ChangeServiceConfig2 (shutdown time)"},
    };
    ServiceOutcome outcome;
    for (const Setting& setting : settings) {
        if (!ChangeServiceConfig2A(service.h, setting.level, setting.info))
            outcome.warnings.push_back(system_message(setting.call, GetLastError()));
    }
    return outcome;
}

ServiceOutcome uninstall_service(const std::string& name) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.h == nullptr)
        return failure("OpenSCManager");
    ScHandle service(
        OpenServiceA(manager.h, name.c_str(),
                     SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | DELETE));
    if (service.h == nullptr) {
        DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST)
            return {ServiceError::not_found, system_message("OpenService", code)};
        SetLastError(code);
        return failure("OpenService");
    }
    if (!runs_this_program(service.h))
        return {ServiceError::not_ours, {}};

    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.h, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (status.dwCurrentState != SERVICE_STOP_PENDING)
            ControlService(service.h, SERVICE_CONTROL_STOP, &status);
        if (!wait_until_stopped(service.h, kUninstallStopWaitMs))
            return {ServiceError::still_running, {}};
    }
    if (!DeleteService(service.h)) {
        if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
            return {};
        return failure("DeleteService");
    }
    return {};
}

}  // namespace hv::platform

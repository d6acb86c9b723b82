#include "config/checker.h"

#include <cstdio>

#include "config/alert_config.h"
#include "config/host_text.h"
#include "config/monitor_config.h"
#include "config/syntax.h"
#include "platform/files.h"

namespace hv {
namespace {

/// What the checker has seen of the monitor file so far.
struct MonitorMarks {
    bool interval = false;
    bool fast_retry_interval = false;
    bool pingcount = false;
    bool workers = false;
    int hosts = 0;
    bool timeoutsec = false;  ///< in the current host block
    bool alertcount = false;  ///< in the current host block
};

/// What the checker has seen of the alert file so far.
struct AlertMarks {
    bool server = false;
    bool email = false;
    bool password = false;
    bool to = false;
    bool token = false;
    bool chat_id = false;
};

/// Reports a report file key whose value run mode could not write; false then. A plain file
/// name lands in the working directory; a path needs a directory that takes new files.
bool check_report_file(const ConfigKey& key, const ConfigValue& value, int line_number) {
    if (value.empty()) {
        std::printf("Line %d: %s must name a file\n", line_number, key.c_str());
        return false;
    }
    if (value.size() > MonitorSettings{}.status_page.kCapacity) {
        std::printf("Line %d: %s is too long\n", line_number, key.c_str());
        return false;
    }
    if (!platform::can_write_file(value.c_str())) {
        std::printf("Line %d: %s cannot be written: %s\n", line_number, key.c_str(), value.c_str());
        return false;
    }
    return true;
}

/// Reports what the current host block lacks; false when it lacks anything.
bool close_host_block(const MonitorMarks& marks) {
    bool ok = true;
    if (!marks.timeoutsec) {
        std::printf("Host #%d missing required key: timeoutsec\n", marks.hosts);
        ok = false;
    }
    if (!marks.alertcount) {
        std::printf("Host #%d missing required key: alertcount\n", marks.hosts);
        ok = false;
    }
    return ok;
}

bool note_monitor_key(MonitorMarks& marks, const ConfigKey& key, const ConfigValue& value,
                      int line_number) {
    bool ok = true;
    if (key == "interval") {
        marks.interval = true;
    } else if (key == "fast_retry_interval") {
        marks.fast_retry_interval = true;
    } else if (key == "pingcount") {
        marks.pingcount = true;
    } else if (key == "workers") {
        marks.workers = true;
        std::int32_t workers = parse_config_number(value);
        if (workers < 1 || workers > kMaxWorkers) {
            std::printf("Line %d: workers must be 1-%d\n", line_number, kMaxWorkers);
            ok = false;
        }
    } else if (key == "schedule") {
        RoundSchedule schedule = RoundSchedule::batch;
        if (!parse_round_schedule(value.view(), schedule)) {
            std::printf("Line %d: schedule must be batch or window\n", line_number);
            ok = false;
        }
    } else if (key == "host") {
        if (marks.hosts > 0)
            ok = close_host_block(marks);
        marks.timeoutsec = false;
        marks.alertcount = false;
        ++marks.hosts;
        // Run mode refuses the whole file at this host; reported once, at the first one too many.
        if (marks.hosts == kMaxHosts + 1) {
            std::printf("Line %d: too many hosts (max %d)\n", line_number, kMaxHosts);
            ok = false;
        }
        // Such a host is never probed: its check would always fail.
        if (!is_usable_host(value)) {
            std::printf("Line %d: invalid host name\n", line_number);
            ok = false;
        }
    } else if (key == "timeoutsec") {
        marks.timeoutsec = true;
    } else if (key == "alertcount") {
        marks.alertcount = true;
    } else if (key == "status_page" || key == "metrics_file") {
        ok = check_report_file(key, value, line_number);
    }
    return ok;
}

bool finish_monitor(const MonitorMarks& marks, const char* path) {
    bool ok = true;
    auto require = [&ok](bool seen, const char* name) {
        if (!seen) {
            std::printf("Missing key: %s\n", name);
            ok = false;
        }
    };
    require(marks.interval, "interval");
    require(marks.fast_retry_interval, "fast_retry_interval");
    require(marks.pingcount, "pingcount");
    if (!marks.workers)
        std::printf("Info: workers not set, default workers:%d will be used\n", kDefaultWorkers);
    if (!has_hosts_to_watch(marks.hosts, path)) {
        ok = false;
    } else if (!close_host_block(marks)) {
        ok = false;
    }
    return ok;
}

bool note_alert_key(AlertMarks& marks, const ConfigKey& key, const ConfigValue& value,
                    int line_number) {
    if (key == "retry_minutes") {
        std::int32_t minutes = parse_config_number(value);
        if (minutes < 0 || minutes > kMaxRetryMinutes) {
            std::printf("Line %d: retry_minutes must be 0-%d\n", line_number, kMaxRetryMinutes);
            return false;
        }
    }
    if (key == "server")
        marks.server = true;
    else if (key == "email")
        marks.email = true;
    else if (key == "password")
        marks.password = true;
    else if (key == "to")
        marks.to = true;
    else if (key == "token")
        marks.token = true;
    else if (key == "chat_id")
        marks.chat_id = true;
    return true;
}

bool finish_alert(const AlertMarks& marks) {
    bool ok = true;
    auto require = [&ok](bool seen, const char* name) {
        if (!seen) {
            std::printf("Missing key: %s\n", name);
            ok = false;
        }
    };
    require(marks.server, "server");
    require(marks.email, "email");
    require(marks.password, "password");
    require(marks.to, "to");
    if (marks.token && !marks.chat_id) {
        std::printf("Telegram config incomplete: chat_id missing\n");
        ok = false;
    } else if (marks.chat_id && !marks.token) {
        std::printf("Telegram config incomplete: token missing\n");
        ok = false;
    }
    return ok;
}

}  // namespace

int check_config_file(const char* path, int alert_file) {
    if (path == nullptr)
        return 0;
    ConfigFile file(path);
    if (!file.is_open()) {
        std::printf("File not found: %s\n", path);
        return 0;
    }

    bool ok = true;
    int line_number = 0;
    MonitorMarks monitor;
    AlertMarks alert;
    ReadUnitReader reader(file.get());
    if (is_utf16(reader.encoding())) {
        print_utf16_refusal(path);
        return 0;
    }
    char unit[kReadUnitSize];
    std::size_t size = 0;
    ConfigKey key;
    ConfigValue value;
    int disabled = 0;
    while (reader.next(unit, size)) {
        ++line_number;
        std::string_view copy = trim_view(unit);
        if (copy.empty() || copy.front() == '#' || copy.front() == '*')
            continue;
        if (copy.find('=') != std::string_view::npos && copy.find(':') == std::string_view::npos) {
            std::printf("Line %d: '=' is not supported, use ':' instead\n", line_number);
            ok = false;
            continue;
        }
        if (!parse_config_line(unit, key, value, disabled)) {
            std::printf("Line %d: invalid format, expected key : \"value\"\n", line_number);
            ok = false;
            continue;
        }
        // The texts go out as UTF-8, and a receiver refuses a text saved in a legacy code
        // page. The secrets are bytes that only curl sees, not text.
        if (key != "password" && key != "token" && !is_utf8_text(value.view())) {
            std::printf("Line %d: not UTF-8 text\n", line_number);
            ok = false;
        }
        if (alert_file) {
            if (!note_alert_key(alert, key, value, line_number))
                ok = false;
        } else if (!note_monitor_key(monitor, key, value, line_number))
            ok = false;
    }
    if (reader.failed()) {
        std::printf("Line %d: read error\n", line_number + 1);
        ok = false;
    }
    file.close();

    if (!(alert_file ? finish_alert(alert) : finish_monitor(monitor, path)))
        ok = false;
    return ok ? 1 : 0;
}

int run_config_check() {
    std::printf("hostvigil - host monitor by the hostvigil developers\n\n");
    std::printf("Important: use ':' as separator. '=' is not supported.\n\n");
    std::printf("Checking %s ...\n", kMonitorConfigFile);
    int monitor_ok = check_config_file(kMonitorConfigFile, 0);
    std::printf("%s\n\n", monitor_ok ? "OK" : "FAILED");
    std::printf("Checking %s ...\n", kAlertConfigFile);
    int alert_ok = check_config_file(kAlertConfigFile, 1);
    std::printf("%s\n\n", alert_ok ? "OK" : "FAILED");
    bool passed = monitor_ok && alert_ok;
    std::printf("Result: %s\n", passed ? "OK" : "FAILED");
    std::fflush(stdout);
    return passed ? 0 : 1;
}

}  // namespace hv

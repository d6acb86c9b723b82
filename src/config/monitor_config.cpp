#include "config/monitor_config.h"

#include <cstdio>

#include "config/syntax.h"
#include "platform/instance.h"

namespace hv {
namespace {

std::int32_t positive_or(const ConfigValue& value, std::int32_t fallback) {
    std::int32_t number = parse_config_number(value);
    return number <= 0 ? fallback : number;
}

bool is_yes(std::string_view text) {
    return text.size() == 3 && (text[0] == 'y' || text[0] == 'Y') &&
           (text[1] == 'e' || text[1] == 'E') && (text[2] == 's' || text[2] == 'S');
}

void start_host(HostRecord& record, const ConfigValue& value) {
    record = HostRecord{};
    record.host.assign(value);
}

/// Applies a per-host key to `record`; false when `key` is not one.
bool apply_host_key(HostRecord& record, const ConfigKey& key, const ConfigValue& value) {
    if (key == "timeoutsec") {
        record.timeoutsec = positive_or(value, 3);
    } else if (key == "alertcount") {
        record.alertcount = positive_or(value, 20);
    } else if (key == "pinglossmsg") {
        record.pinglossmsg.assign(value);
    } else if (key == "pingbackmsg") {
        record.pingbackmsg.assign(value);
    } else if (key == "tcpfallback") {
        record.tcpfallback = is_yes(value) || value == "1" ? 1 : 0;
    } else {
        return false;
    }
    return true;
}

// A file name cut to the field's size would name another file: such a name is left out.
void assign_file_name(FixedText<256>& field, const ConfigValue& value) {
    if (value.size() <= field.kCapacity)
        field.assign(value);
    else
        field.clear();
}

}  // namespace

bool parse_round_schedule(std::string_view value, RoundSchedule& schedule) {
    if (value == "batch") {
        schedule = RoundSchedule::batch;
    } else if (value == "window") {
        schedule = RoundSchedule::window;
    } else {
        return false;
    }
    return true;
}

MonitorLoadResult load_monitor_config(MonitorSettings& settings, HostTable& table,
                                      const char* path) {
    ConfigFile file(path);
    settings.host_count = 0;
    settings.interval = 15;
    settings.fast_retry_interval = 4;
    settings.pingcount = 3;
    settings.workers = kDefaultWorkers;
    settings.schedule = RoundSchedule::batch;
    settings.status_page.clear();
    settings.metrics_file.clear();
    if (!file.is_open()) {
        std::printf("%s is not existed\n", path);
        return MonitorLoadResult::missing_file;
    }

    ReadUnitReader reader(file.get());
    if (is_utf16(reader.encoding())) {
        print_utf16_refusal(path);
        return MonitorLoadResult::utf16_text;
    }
    char unit[kReadUnitSize];
    std::size_t size = 0;
    ConfigKey key;
    ConfigValue value;
    int disabled = 0;
    while (reader.next(unit, size)) {
        if (!parse_config_line(unit, key, value, disabled) || disabled)
            continue;
        if (key == "interval") {
            settings.interval = positive_or(value, 15);
        } else if (key == "fast_retry_interval") {
            settings.fast_retry_interval = positive_or(value, 4);
        } else if (key == "pingcount") {
            settings.pingcount = positive_or(value, 3);
        } else if (key == "workers") {
            std::int32_t workers = positive_or(value, kDefaultWorkers);
            settings.workers = workers > kMaxWorkers ? kMaxWorkers : workers;
        } else if (key == "schedule") {
            // An unknown value keeps the batches; -check names it.
            if (!parse_round_schedule(value.view(), settings.schedule))
                settings.schedule = RoundSchedule::batch;
        } else if (key == "host") {
            if (settings.host_count >= kMaxHosts) {
                std::printf("Too many hosts (max %d)\n", kMaxHosts);
                return MonitorLoadResult::too_many_hosts;
            }
            ++settings.host_count;
            start_host(table.at(settings.host_count), value);
        } else if (settings.host_count >= 1 &&
                   apply_host_key(table.at(settings.host_count), key, value)) {
            // A per-host key before the first host is ignored.
        } else if (key == "instance_name") {
            settings.instance_name.assign(value);
        } else if (key == "status_page") {
            assign_file_name(settings.status_page, value);
        } else if (key == "metrics_file") {
            assign_file_name(settings.metrics_file, value);
        }
    }
    file.close();

    if (settings.instance_name.empty())
        settings.instance_name.assign(platform::computer_name());
    return MonitorLoadResult::ok;
}

bool has_hosts_to_watch(int host_count, const char* path) {
    if (host_count > 0)
        return true;
    std::printf("no host to watch in %s\n", path);
    return false;
}

}  // namespace hv

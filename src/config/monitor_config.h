// The monitor configuration "hostvigil_host.txt": global settings and the host table.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "config/host_history.h"
#include "output/fixed_text.h"

namespace hv {

inline constexpr const char* kMonitorConfigFile = "hostvigil_host.txt";
inline constexpr int kMaxHosts = 255;   ///< room in the host table
inline constexpr int kMaxWorkers = 50;  ///< upper bound of `workers`
inline constexpr int kDefaultWorkers = 2;

/// How a round hands its hosts to the workers.
enum class RoundSchedule : std::int32_t {
    batch,   ///< groups of `workers` consecutive hosts; a group starts when the last one ended
    window,  ///< up to `workers` checks at once; the next host starts as soon as any check ends
};

/// Process-wide monitor settings. Filled on the main thread before any worker exists, read
/// without locks afterwards.
struct MonitorSettings {
    std::int32_t interval = 15;              ///< seconds between rounds; 1 and up
    std::int32_t fast_retry_interval = 4;    ///< seconds after a round with a failure; 1 and up
    std::int32_t pingcount = 3;              ///< echo requests per probe; 1 and up
    std::int32_t workers = kDefaultWorkers;  ///< hosts checked at once; 1 to 50
    std::int32_t host_count = 0;             ///< hosts in the table, 0 to 255
    RoundSchedule schedule = RoundSchedule::batch;  ///< key `schedule`: "batch" or "window"
    FixedText<128> instance_name;  ///< this station's name; the computer's by default
    FixedText<256> status_page;    ///< HTML status page rewritten after every round; empty: none
    FixedText<256> metrics_file;  ///< Prometheus text file rewritten after every round; empty: none
};

/// One monitored host. The configuration fields never change after the load; the run-time
/// fields are guarded by the host-state lock of the host check.
struct HostRecord {
    FixedText<128> host;           ///< name or address handed to ping and to the TCP probe
    std::int32_t timeoutsec = 3;   ///< per-probe wait in seconds; 1 and up
    std::int32_t alertcount = 20;  ///< consecutive failures that raise the alert; 1 and up
    std::int32_t fail_count = 0;   ///< run time: consecutive failed checks
    std::int32_t alert_sent = 0;   ///< run time: 1 while an alert is outstanding
    std::int32_t tcpfallback = 1;  ///< 1: a failed ping is followed by TCP connect attempts
    std::int32_t name_failed = 0;  ///< run time: 1 once this outage has logged a failed look-up
    /// run time: 1 once this outage has logged a fallback skipped for a look-up still running
    std::int32_t lookup_pending = 0;
    FixedText<256> pinglossmsg{"default"};  ///< alert text; "default" (any case) or empty: built-in
    FixedText<256> pingbackmsg{"default"};  ///< recovery text, same rule
    FixedText<512> last_status;             ///< run time: status text of the most recent check
    std::int64_t last_check_time = 0;  ///< run time: when the most recent check ended (epoch s)
    std::int64_t state_since = 0;      ///< run time: when the host last went up or down (epoch s)
    HostHistory history;               ///< run time: recent results for the reports
};

/// The fixed table of hosts, addressed by host number 1 to `host_count` in file order.
struct HostTable {
    std::array<HostRecord, kMaxHosts + 1> records;  ///< element 0 is unused
    HostRecord& at(int index) { return records[static_cast<std::size_t>(index)]; }
    const HostRecord& at(int index) const { return records[static_cast<std::size_t>(index)]; }
};

enum class MonitorLoadResult {
    ok,
    missing_file,    ///< printed "%s is not existed\n"; the process ends with 1
    too_many_hosts,  ///< printed "Too many hosts (max %d)\n"; the process ends with 1
    utf16_text,      ///< printed "%s is UTF-16 text; save it as UTF-8\n"; the process ends with 1
};

/// The schedule named by a `schedule` value ("batch" or "window", exactly); false for any
/// other text, which leaves `schedule` as it was.
bool parse_round_schedule(std::string_view value, RoundSchedule& schedule);

/// Reads `path` into `settings` and `table` with every default and clamp; a UTF-8 byte order
/// mark at its start is skipped. Prints its fatal messages to standard output itself; the
/// caller ends the process with exit code 1 when the result is not ok.
MonitorLoadResult load_monitor_config(MonitorSettings& settings, HostTable& table,
                                      const char* path = kMonitorConfigFile);

/// The last word on a monitor file with `host_count` hosts, for run mode and -check alike: with
/// no host in it there is nothing to watch, and an instance that started anyway would look
/// healthy while it watches nothing. Prints "no host to watch in %s\n" and returns false then.
bool has_hosts_to_watch(int host_count, const char* path = kMonitorConfigFile);

}  // namespace hv

// What the reports show: the hosts' states and the instance's last round, gathered once and
// rendered as the summary table, the status page or the metrics file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/host_history.h"
#include "config/monitor_config.h"

namespace hv {

/// One host as the reports show it. Times are seconds since the epoch, 0 when not yet.
struct HostView {
    std::string host;
    HostCondition state = HostCondition::up;
    std::int32_t fail_count = 0;
    std::int32_t alertcount = 0;
    std::int64_t since = 0;       ///< when the host entered `state`
    std::int64_t last_check = 0;  ///< when its last check ended
    std::int64_t rtt_us = -1;     ///< last average round trip in microseconds; -1 unknown
    double availability = -1;     ///< share of good checks in the last 24 hours; -1 none
    std::string recent;           ///< up to 60 results, oldest first: 'U' up, 'D' down
    std::string last_status;      ///< status text of the last check
};

/// Sends of one channel with one outcome ("ok" or "failed").
struct SendCount {
    std::string channel;
    std::string result;
    std::uint64_t count = 0;
};

/// Everything the reports show of one instance.
struct ReportView {
    std::string station;                 ///< the instance name
    std::int32_t interval = 15;          ///< seconds between rounds
    std::int64_t last_round = 0;         ///< when the last round started; 0 none yet
    std::int64_t round_duration_us = 0;  ///< how long that round's checks took
    std::vector<HostView> hosts;         ///< in configuration order
    std::vector<SendCount> sends;
};

/// The hosts of `table` with their run-time fields, judged at `now` (for the availability).
/// The round and send fields are left for the caller. The caller holds the host-state lock
/// or knows that no check runs.
ReportView make_report_view(const MonitorSettings& settings, const HostTable& table,
                            std::int64_t now);

/// "up", "down" or "alert".
const char* state_name(HostCondition state);

/// A short duration such as "45s", "12m", "3h12m" or "2d4h"; negative spans read as "0s".
std::string short_duration(std::int64_t seconds);

/// True when the view is older than two rounds at `now`: its last round started more than
/// 2 x (interval + round duration) seconds ago, so no instance is updating it.
bool is_stale(const ReportView& view, std::int64_t now);

/// The aligned table of the -summary command, one line per host, with a header line and,
/// when the view is stale, a line saying so.
std::string render_summary(const ReportView& view, std::int64_t now);

/// The self-contained HTML status page: inline CSS and SVG, no scripts, no external
/// resources, a refresh of one interval. Every text is HTML-escaped.
std::string render_status_page(const ReportView& view, std::int64_t now);

/// The Prometheus text exposition of the view, for node_exporter's textfile collector.
std::string render_metrics(const ReportView& view);

/// `text` with &, <, >, " and ' replaced by HTML character references.
std::string html_escape(const std::string& text);

/// `text` as a Prometheus label value: backslash, double quote and line feed escaped.
std::string label_escape(const std::string& text);

/// Writes a rendered report to `path` atomically; false when the file was left as it was. A
/// symbolic link, directory or device at `path` is refused, never written through.
bool write_report_file(const char* path, const std::string& text);

}  // namespace hv

#include <cstdio>

#include "output/timestamp.h"
#include "report/report_view.h"

namespace hv {
namespace {

using Row = std::vector<std::string>;

std::string time_text(std::int64_t t) {
    return t == 0 ? "-" : std::string(format_timestamp(static_cast<std::time_t>(t)).view());
}

std::string rtt_text(std::int64_t rtt_us) {
    if (rtt_us < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", static_cast<double>(rtt_us) / 1000.0);
    return text;
}

std::string availability_text(double share) {
    if (share < 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
    return text;
}

// A tab, line end or other control byte from a probe would break the table's alignment.
std::string one_line(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    return out;
}

Row row_of(const HostView& host, std::int64_t now) {
    std::string since = "-";
    if (host.since != 0)
        since = time_text(host.since) + " (" + short_duration(now - host.since) + ")";
    return {
        one_line(host.host),        state_name(host.state), since,
        time_text(host.last_check), rtt_text(host.rtt_us),  availability_text(host.availability),
        one_line(host.last_status)};
}

}  // namespace

std::string render_summary(const ReportView& view, std::int64_t now) {
    std::vector<Row> rows;
    rows.push_back({"HOST", "STATE", "SINCE", "LAST CHECK", "RTT", "24H", "LAST RESULT"});
    for (const HostView& host : view.hosts)
        rows.push_back(row_of(host, now));

    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = row[i].size() > widths[i] ? row[i].size() : widths[i];
    }

    std::string out = "hostvigil summary of " + one_line(view.station) + ", last round " +
                      time_text(view.last_round) + "\n";
    if (is_stale(view, now)) {
        out += "Note: the state is older than two rounds; the monitor is not running.\n";
    }
    out += "\n";
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

}  // namespace hv

#include <cstdio>

#include "output/timestamp.h"
#include "report/report_view.h"

namespace hv {
namespace {

// Everything the page needs is inline: the page's policy forbids any other source.
constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fafafa}"
    "h1{font-size:1.4em;margin:0 0 .2em}"
    ".meta{color:#555;margin-bottom:1em}"
    ".headline{font-size:1.2em;margin-bottom:1em}"
    "table{border-collapse:collapse}"
    "th,td{padding:.3em .8em;text-align:left;border-bottom:1px solid #ddd;white-space:nowrap}"
    "td.result{white-space:normal;max-width:30em;color:#555}"
    ".state{display:inline-block;min-width:3.5em;padding:.1em .5em;border-radius:.3em;"
    "color:#fff;font-weight:bold;text-align:center}"
    ".up{background:#2e7d32}.down{background:#ef6c00}.alert{background:#c62828}"
    ".num{text-align:right}";

std::string time_text(std::int64_t t) {
    return t == 0 ? "-" : std::string(format_timestamp(static_cast<std::time_t>(t)).view());
}

std::string number_text(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The last results as a strip of bars, oldest left; missing results are grey. One path per
// colour keeps a 255-host page small.
std::string strip_svg(const std::string& recent) {
    constexpr int kBars = HostHistory::kRecent;
    const std::string width = std::to_string(kBars * 4);
    std::string svg = "<svg width=\"" + width + "\" height=\"14\" viewBox=\"0 0 " + width +
                      " 14\" role=\"img\" aria-label=\"last " + std::to_string(recent.size()) +
                      " checks\">";
    const int offset = kBars - static_cast<int>(recent.size());
    const struct {
        char result;
        const char* fill;
    } colours[] = {{'-', "#ddd"}, {'U', "#2e7d32"}, {'D', "#c62828"}};
    for (const auto& colour : colours) {
        std::string d;
        for (int i = 0; i < kBars; ++i) {
            const char result = i < offset ? '-' : recent[static_cast<std::size_t>(i - offset)];
            if (result == colour.result)
                d += "M" + std::to_string(i * 4) + " 0h3v14h-3z";
        }
        if (!d.empty())
            svg += std::string("<path fill=\"") + colour.fill + "\" d=\"" + d + "\"/>";
    }
    return svg + "</svg>";
}

std::string host_row(const HostView& host, std::int64_t now) {
    const std::string state = state_name(host.state);
    std::string since = "-";
    if (host.since != 0)
        since = time_text(host.since) + " (" + short_duration(now - host.since) + ")";
    std::string rtt =
        host.rtt_us < 0 ? "-" : number_text("%.2f ms", static_cast<double>(host.rtt_us) / 1000.0);
    std::string availability =
        host.availability < 0 ? "-" : number_text("%.1f%%", host.availability * 100.0);
    return "<tr class=\"host\"><td class=\"name\">" + html_escape(host.host) +
           "</td><td><span class=\"state " + state + "\">" + state + "</span></td><td>" +
           html_escape(since) + "</td><td class=\"num\">" + rtt + "</td><td class=\"num\">" +
           availability + "</td><td>" + strip_svg(host.recent) + "</td><td class=\"result\">" +
           html_escape(host.last_status) + "</td></tr>\n";
}

}  // namespace

std::string render_status_page(const ReportView& view, std::int64_t now) {
    int up = 0;
    for (const HostView& host : view.hosts)
        up += host.state == HostCondition::up ? 1 : 0;
    const int down = static_cast<int>(view.hosts.size()) - up;
    const std::string station = html_escape(view.station);
    const int refresh = view.interval < 1 ? 1 : view.interval;

    std::string page;
    page.reserve(1024 + view.hosts.size() * 2048);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page +=
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">\n";
    page += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refresh) + "\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += "<title>hostvigil - " + station + "</title>\n<style>" + kStyle + "</style>\n";
    page += "</head>\n<body>\n<h1>hostvigil - " + station + "</h1>\n";
    page += "<div class=\"meta\">Last round: <span id=\"last-round\">" +
            time_text(view.last_round) + "</span>, page written " + time_text(now) + "</div>\n";
    page += "<div class=\"headline\"><span id=\"hosts-up\">" + std::to_string(up) +
            "</span> up, <span id=\"hosts-down\">" + std::to_string(down) + "</span> down</div>\n";
    page +=
        "<table>\n<thead><tr><th>Host</th><th>State</th><th>Since</th><th>RTT</th>"
        "<th>24 h</th><th>Last 60 checks</th><th>Last result</th></tr></thead>\n<tbody>\n";
    for (const HostView& host : view.hosts)
        page += host_row(host, now);
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

}  // namespace hv

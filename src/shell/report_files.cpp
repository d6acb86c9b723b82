#include "shell/report_files.h"

#include <ctime>

#include "output/sinks.h"
#include "platform/files.h"

namespace hv {
namespace {

void write_one(const char* path, const std::string& text, bool& failed) {
    const bool ok = write_report_file(path, text);
    if (!ok && !failed)
        log_event("Unable to write %s", path);
    failed = !ok;
}

}  // namespace

ReportView current_report_view(const MonitorContext& context, const RunStats& stats,
                               std::int64_t now) {
    ReportView view = make_report_view(context.settings, context.hosts, now);
    view.last_round = stats.last_round;
    view.round_duration_us = stats.round_duration_us;
    for (int channel = 0; channel < kChannelCount; ++channel) {
        view.sends.push_back({state::channel_key(kAllChannels[channel]), "ok",
                              stats.sends[channel][0].load(std::memory_order_relaxed)});
        view.sends.push_back({state::channel_key(kAllChannels[channel]), "failed",
                              stats.sends[channel][1].load(std::memory_order_relaxed)});
    }
    return view;
}

void ReportFiles::round_finished(const MonitorContext& context) {
    const MonitorSettings& settings = context.settings;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (settings.status_page.empty() && settings.metrics_file.empty())
        return;
    if (!swept_) {
        // Before the first write: what a crashed run left beside the files goes.
        swept_ = true;
        platform::remove_stale_temporaries(settings.status_page.c_str());
        platform::remove_stale_temporaries(settings.metrics_file.c_str());
    }
    const ReportView view = current_report_view(context, stats_, now);
    if (!settings.status_page.empty())
        write_one(settings.status_page.c_str(), render_status_page(view, now), page_failed_);
    if (!settings.metrics_file.empty())
        write_one(settings.metrics_file.c_str(), render_metrics(view), metrics_failed_);
}

}  // namespace hv

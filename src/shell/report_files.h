// The status page and the metrics file of run mode, rewritten after every round.
#pragma once

#include "monitor/monitor.h"
#include "report/report_view.h"

namespace hv {

/// The view of the reports as the monitor's records and counters hold it at `now`.
ReportView current_report_view(const MonitorContext& context, const RunStats& stats,
                               std::int64_t now);

/// After every round: writes the files named by `status_page` and `metrics_file` when they are
/// set (the state file is written by the monitor's save_state, with the pending notices). A file
/// that cannot be written is logged once, and again only after it could be written in between. Both
/// are replaced whole, and only when they are regular files (a symbolic link is refused).
class ReportFiles : public RoundObserver {
  public:
    explicit ReportFiles(const RunStats& stats) : stats_(stats) {}
    void round_finished(const MonitorContext& context) override;

  private:
    const RunStats& stats_;
    bool page_failed_ = false;
    bool metrics_failed_ = false;
    bool swept_ = false;  ///< stale temporaries beside the files removed (once, at the start)
};

}  // namespace hv

// The continuous ("window") schedule of a round; the monitor loop's batch schedule is the
// default, this one is chosen with `schedule : "window"`.
#pragma once

#include <array>

#include "monitor/monitor.h"

namespace hv {

/// The loop's worker slots, one per host number (element 0 unused).
using SlotTable = std::array<WorkerSlot, kMaxHosts + 1>;

/// Checks hosts 1..host_count once each, starting them in host order with at most `workers`
/// checks running: the next host starts as soon as any running check has ended, so a slow
/// check holds only its own worker. Returns after the last started check has ended. Sets
/// `any_failed` when a check failed. Returns false when a stop request kept hosts from being
/// started (checked before each start; running checks always finish).
bool run_window_round(MonitorContext& context, SlotTable& slots, int host_count, int workers,
                      bool& any_failed);

}  // namespace hv

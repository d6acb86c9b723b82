// Between the host table of a run and the host records of the state file.
#pragma once

#include <vector>

#include "config/monitor_config.h"
#include "state/state.h"

namespace hv::state {

/// The run-time fields of hosts 1..`host_count`, in host order (element i-1 is host i), each
/// keyed by its host text and its occurrence among equal texts. Pending notices are left
/// empty for the caller. The caller holds whatever guards the table's run-time fields.
Snapshot capture_hosts(const HostTable& table, int host_count);

/// Gives each of hosts 1..`host_count` the failure count, alert flag, times and last result
/// of the record with its key in `snapshot`; hosts without one keep their fresh state.
/// Returns the pending notices per host index (element 0: the instance's own); records of hosts
/// no longer configured are dropped, and moved to `dropped` when given, so that the caller can
/// say what is lost with them. Main thread, before any check runs.
std::vector<std::vector<PendingNotice>> restore_hosts(HostTable& table, int host_count,
                                                      Snapshot snapshot,
                                                      std::vector<HostState>* dropped = nullptr);

}  // namespace hv::state

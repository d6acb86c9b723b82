// One monitoring session of run mode: host state restored from the state file, notices sent
// apart from the checks, and an orderly stop.
#pragma once

#include <cstdint>

#include "config/alert_config.h"
#include "config/monitor_config.h"

namespace hv {

/// Seconds into a stop after which no queued notice is sent any more: with curl's own bound
/// of 60 s for the sends in flight, the whole stop stays well inside 90 s.
inline constexpr int kStopSendWindowSeconds = 20;

/// Restores each configured host and its undelivered notices from the state file (a file that
/// cannot be used is logged and replaced), starts the senders, monitors until a stop request,
/// then stops in order: checks still running are discarded, sends in flight finish, queued
/// notices go out, notices waiting for a retry stay in the state file, which is written last.
/// Main thread; the settings are loaded and the PID file is claimed.
void run_session(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
                 std::int32_t& heartbeat_state);

}  // namespace hv

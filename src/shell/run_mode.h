// Run mode: the monitoring instance of this working directory.
#pragma once

#include <cstdint>

#include "config/alert_config.h"
#include "config/monitor_config.h"

namespace hv {

/// Refuses a second instance, loads both files, claims the PID file, prints the banner and
/// the settings summary, and monitors until a stop request. Returns the exit code.
int run_mode(MonitorSettings& settings, HostTable& hosts, AlertSettings& alerts,
             std::int32_t& heartbeat_state);

}  // namespace hv

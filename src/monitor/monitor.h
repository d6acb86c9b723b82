// The monitor: host checks in batches of worker threads, round after round.
#pragma once

#include <cstdint>
#include <ctime>

#include "config/alert_config.h"
#include "config/monitor_config.h"

namespace hv {

/// The process-wide records the monitor works on.
struct MonitorContext {
    MonitorSettings& settings;
    HostTable& hosts;
    AlertSettings& alerts;
};

/// Runs rounds until the stop request is set; returns after the running batch has ended.
void monitor_loop(MonitorContext& context, std::int32_t& heartbeat_state);

}  // namespace hv

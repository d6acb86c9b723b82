// The -test command: one test message on every configured channel.
#pragma once

#include "config/alert_config.h"
#include "config/monitor_config.h"

namespace hv {

/// Sends the test messages and prints the report. Returns 0 when at least one channel
/// succeeded, 1 otherwise.
int run_notification_test(MonitorSettings& settings, AlertSettings& alerts);

}  // namespace hv

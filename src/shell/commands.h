// The maintenance commands of the process shell. Each prints straight to standard output (the
// silent flag never mutes them) and returns the process exit code.
#pragma once

#include "config/monitor_config.h"

namespace hv {

/// The banner's first line without its leading line feed: "HOSTVIGIL <system> Version 1.0"
/// followed by the maker credit.
const char* banner_text();

int print_usage(const char* program);
int command_start();
int command_stop();
int command_status();

/// Prints the aligned table of every configured host from the state file: its state, since
/// when, last check, round trip, 24-hour availability and last result, with a note when the
/// state is older than two rounds. 1 when there is no usable state file or no configuration.
int command_summary(MonitorSettings& settings, HostTable& hosts);

}  // namespace hv

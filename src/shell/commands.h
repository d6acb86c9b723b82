// The maintenance commands of the process shell. Each prints straight to standard output (the
// silent flag never mutes them) and returns the process exit code.
#pragma once

namespace hv {

/// The banner's first line without its leading line feed: "HOSTVIGIL <system> Version 1.0"
/// followed by the maker credit.
const char* banner_text();

int print_usage(const char* program);
int command_start();
int command_stop();
int command_status();

}  // namespace hv

// The -check command: validates both configuration files without loading them.
#pragma once

namespace hv {

/// The whole -check command; prints its report to standard output. Returns 0 when both files
/// pass, 1 otherwise.
int run_config_check();

/// Checks one file (`alert_file` 0: monitor file, 1: alert file). Returns 1 when it passed.
int check_config_file(const char* path, int alert_file);

}  // namespace hv

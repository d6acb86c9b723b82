// Running external programs: the exit code, and optionally everything they print.
#pragma once

#include <string>
#include <vector>

#include "output/fixed_text.h"

namespace hv {

/// Captured output of one command: at most 8,190 bytes, made of whole reads.
using CaptureText = FixedText<8192>;

/// Runs argv[0] (found on PATH) with the arguments, never through a command interpreter, and
/// returns its exit code; -1 when nothing could be started; 1 when the exit code cannot be
/// read. Its output goes to the null device. `stdin_text`, when given, is its standard input.
/// `time_limit_ms` (0: none) bounds the run: a child still running then is ended with all it
/// started, and the result is platform::kChildTimedOut (negative).
int run_command(const std::vector<std::string>& argv, const std::string* stdin_text = nullptr,
                int time_limit_ms = 0);

/// As run_command, collecting standard output and standard error together into `out`: a read
/// is kept only while the kept length plus its length plus one is below 8,192; reading goes on
/// to the end either way. `out` is empty on any failure. `time_limit_ms` as for run_command.
/// With `end_on_stop` (probes only) the run is ended with all it started once run mode's stop
/// request is set, and the result is platform::kChildEndedOnStop (negative).
int run_command_capture(const std::vector<std::string>& argv, CaptureText& out,
                        const std::string* stdin_text = nullptr, int time_limit_ms = 0,
                        bool end_on_stop = false);

}  // namespace hv

// The two ways out of run mode: the event log and the console. The silent flag is looked at
// here and nowhere else. Both are safe to call from any thread; their locks are innermost.
#pragma once

#include "output/fixed_text.h"

namespace hv {

/// Name of the event log in the working directory.
inline constexpr const char* kEventLogFile = "hostvigil_log.txt";

/// Sets the process-wide silent flag (the -s argument). It is never cleared in a real run.
void set_silent(bool silent);
bool is_silent();

/// Appends one entry "<timestamp> <message>\n" to the event log, opening and closing the file
/// for the entry, so a log deleted or moved while running is recreated by the next entry.
/// An entry that cannot be written is dropped silently. Entries never interleave.
void log_event(const char* fmt, ...) HV_PRINTF(1, 2);

/// Writes the formatted text to standard output unchanged and flushes it, unless silent.
void console_print(const char* fmt, ...) HV_PRINTF(1, 2);

}  // namespace hv

// The timestamp text used by the event log, the notices, the heartbeat and the self-test.
#pragma once

#include <ctime>

#include "output/fixed_text.h"

namespace hv {

using TimestampText = FixedText<50>;

/// `t` in local time as "%04d-%02d-%02d %02d:%02d:%02d".
TimestampText format_timestamp(std::time_t t);

/// The current local time as format_timestamp gives it.
TimestampText timestamp_now();

}  // namespace hv

// Placeholders until the channels land.
#include <cstdio>

#include "notify/selftest.h"

namespace hv {

int run_notification_test(MonitorSettings&, AlertSettings&) {
    return 1;
}

}  // namespace hv

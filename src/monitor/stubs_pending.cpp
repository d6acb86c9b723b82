// Placeholder until the monitor loop lands: idles in 1-second sleeps until a stop request.
#include <chrono>
#include <thread>

#include "monitor/monitor.h"
#include "platform/stop.h"

namespace hv {

void monitor_loop(MonitorContext&, std::int32_t&) {
    while (!platform::stop_requested())
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace hv

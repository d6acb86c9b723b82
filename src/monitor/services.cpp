#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "monitor/monitor.h"
#include "probe/probes.h"

namespace hv {

PingResult MonitorServices::ping(const char* host, int timeoutsec, int pingcount,
                                 StatusText& status) {
    return ping_probe(host, timeoutsec, pingcount, status);
}

FallbackResult MonitorServices::tcp_fallback(const char* host, int timeoutsec, StatusText& status) {
    return tcp_fallback_probe(host, timeoutsec, status);
}

std::thread MonitorServices::start_worker(MonitorContext& context, WorkerSlot* slot,
                                          std::function<void()> on_end) {
    return std::thread([&context, slot, on_end = std::move(on_end)] {
        check_host(context, slot);
        if (on_end)
            on_end();
    });
}

void MonitorServices::sleep_one_second() {
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

MonitorServices& MonitorServices::real() {
    static MonitorServices services;
    return services;
}

}  // namespace hv

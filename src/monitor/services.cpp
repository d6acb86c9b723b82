#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "monitor/monitor.h"
#include "notify/channels.h"
#include "probe/probes.h"

namespace hv {

PingResult MonitorServices::ping(const char* host, int timeoutsec, int pingcount,
                                 StatusText& status) {
    return ping_probe(host, timeoutsec, pingcount, status);
}

FallbackResult MonitorServices::tcp_fallback(const char* host, int timeoutsec, StatusText& status) {
    return tcp_fallback_probe(host, timeoutsec, status);
}

int MonitorServices::send_email(AlertSettings& alerts, const char* recipients, const char* subject,
                                const char* body) {
    return send_email_alert(alerts, recipients, subject, body);
}

int MonitorServices::send_telegram(const AlertSettings& alerts, const char* text) {
    return send_telegram_alert(alerts, text);
}

int MonitorServices::send_teams(const AlertSettings& alerts, const char* text) {
    return send_teams_alert(alerts, text);
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

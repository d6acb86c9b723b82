#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "config/host_text.h"
#include "probe/probes.h"
#include "probe/tcp_fallback.h"

namespace hv {
namespace {

using platform::ConnectOutcome;

class SystemNetwork : public FallbackNetwork {
  public:
    std::size_t resolve(const std::string& host) override { return list_.resolve(host.c_str()); }
    ConnectOutcome connect_any(std::span<const std::uint16_t> ports, std::size_t addresses_per_port,
                               int timeout_sec) override {
        return list_.connect_any(ports, addresses_per_port, timeout_sec);
    }

  private:
    platform::AddressList list_;
};

// Shared by the fallback and its look-up thread; whichever lets go last frees it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::size_t addresses = 0;
};

enum class Resolution { resolved, failed, pending };

// The system resolver has no time limit the program can set: behind a DNS server that never
// answers one look-up lasts the resolver's own time-outs, often 10 s or more. So it runs on a
// thread of its own and the fallback waits for it at most `timeout_sec`. A late thread ends
// by itself; it holds only the network object, the shared record and the claim on the name,
// which keeps every later check of that name from starting another one meanwhile.
Resolution resolve_within(const std::shared_ptr<FallbackNetwork>& net,
                          const std::shared_ptr<PendingLookups>& lookups, const std::string& host,
                          int timeout_sec) {
    if (!lookups->claim(host))
        return Resolution::pending;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([net, lookups, host, lookup] {
            std::size_t addresses = net->resolve(host);
            // Given back first: a check that sees this look-up done may start the next one.
            lookups->release(host);
            std::lock_guard<std::mutex> guard(lookup->mutex);
            lookup->addresses = addresses;
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: resolve here, without the bound, rather than not at all.
        std::size_t addresses = net->resolve(host);
        lookups->release(host);
        return addresses > 0 ? Resolution::resolved : Resolution::failed;
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    lookup->finished.wait_for(lock, std::chrono::seconds(timeout_sec),
                              [&lookup] { return lookup->done; });
    return lookup->done && lookup->addresses > 0 ? Resolution::resolved : Resolution::failed;
}

}  // namespace

std::shared_ptr<FallbackNetwork> system_network() {
    return std::make_shared<SystemNetwork>();
}

bool PendingLookups::claim(const std::string& host) {
    std::lock_guard<std::mutex> guard(mutex_);
    return hosts_.insert(host).second;
}

void PendingLookups::release(const std::string& host) {
    std::lock_guard<std::mutex> guard(mutex_);
    hosts_.erase(host);
    if (hosts_.empty())
        idle_.notify_all();
}

void PendingLookups::wait_until_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return hosts_.empty(); });
}

std::shared_ptr<PendingLookups> system_lookups() {
    static const std::shared_ptr<PendingLookups> lookups = std::make_shared<PendingLookups>();
    return lookups;
}

FallbackResult tcp_fallback_with(const char* host, int timeoutsec, StatusText& status,
                                 std::span<const std::uint16_t> ports,
                                 std::shared_ptr<FallbackNetwork> net,
                                 std::shared_ptr<PendingLookups> lookups) {
    FallbackResult result;
    if (host == nullptr || !is_usable_host(host))
        return result;
    switch (resolve_within(net, lookups, host, timeoutsec)) {
        case Resolution::resolved:
            break;
        case Resolution::failed:
            result.name_failed = true;
            return result;
        case Resolution::pending:
            result.lookup_pending = true;
            return result;
    }
    switch (net->connect_any(ports, kAddressesPerPort, timeoutsec)) {
        case ConnectOutcome::connected:
        case ConnectOutcome::refused:
            status.format("Ping blocked but TCP reachable: %s", host);
            result.reachable = true;
            break;
        case ConnectOutcome::failed:
        case ConnectOutcome::no_answer:
        case ConnectOutcome::not_started:
            break;
    }
    return result;
}

FallbackResult tcp_fallback_probe(const char* host, int timeoutsec, StatusText& status) {
    return tcp_fallback_with(host, timeoutsec, status, kFallbackPorts, system_network());
}

}  // namespace hv

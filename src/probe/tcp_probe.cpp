#include "config/host_text.h"
#include "probe/probes.h"
#include "probe/tcp_walk.h"

namespace hv {
namespace {

class SystemAddresses : public AddressSource {
  public:
    std::size_t resolve(const char* host, const char* port) override {
        return list_.resolve(host, port);
    }
    platform::ConnectOutcome try_connect(std::size_t index, int timeout_sec) override {
        return list_.try_connect(index, timeout_sec);
    }

  private:
    platform::AddressList list_;
};

}  // namespace

int tcp_fallback_walk(const char* host, int timeoutsec, StatusText& status,
                      const char* const* ports, std::size_t port_count, AddressSource& net) {
    if (host == nullptr || !is_usable_host(host))
        return 0;
    for (std::size_t p = 0; p < port_count; ++p) {
        std::size_t addresses = net.resolve(host, ports[p]);
        for (std::size_t i = 0; i < addresses; ++i) {
            switch (net.try_connect(i, timeoutsec)) {
                case platform::ConnectOutcome::connected:
                case platform::ConnectOutcome::refused:
                    status.format("Ping blocked but TCP reachable: %s", host);
                    return 1;
                case platform::ConnectOutcome::failed:
                    return 0;
                case platform::ConnectOutcome::no_answer:
                case platform::ConnectOutcome::not_started:
                    break;
            }
        }
    }
    return 0;
}

int tcp_fallback_probe(const char* host, int timeoutsec, StatusText& status) {
    SystemAddresses net;
    return tcp_fallback_walk(host, timeoutsec, status, kFallbackPorts, std::size(kFallbackPorts),
                             net);
}

}  // namespace hv

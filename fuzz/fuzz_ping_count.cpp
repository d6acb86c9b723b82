// Feeds arbitrary bytes to the ping output reader as the runner would hand them over (cut to
// the capture buffer) and checks what every result must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "probe/probes.h"
#include "probe/runner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hv::CaptureText output(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string_view text = output.view();
    constexpr int kPingcount = 3;
    hv::PingResult result = hv::read_ping_output(text, "nas.lab", kPingcount, 2);
    if (result.replies < 0 || result.replies > kPingcount)
        std::abort();
    if (result.replies > 0 && result.name_failed)
        std::abort();
    // Every reply line carries a TTL or a round-trip time in milliseconds.
    bool marks = text.find("TTL=") != std::string_view::npos ||
                 text.find("ttl=") != std::string_view::npos ||
                 text.find("ms") != std::string_view::npos;
    if (!marks && result.replies != 0)
        std::abort();
    return 0;
}

// Feeds arbitrary bytes to the ping output counter as the runner would hand them over (cut to
// the capture buffer) and checks what every count must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "probe/probes.h"
#include "probe/runner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hv::CaptureText output(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string_view text = output.view();
    int count = hv::count_ping_replies(text);
    bool replies =
        text.find("TTL=") != std::string_view::npos || text.find("ttl=") != std::string_view::npos;
    if (replies && count <= 0)
        std::abort();
    if (!replies && text.find("Received =") == std::string_view::npos && count != 0)
        std::abort();
    return 0;
}

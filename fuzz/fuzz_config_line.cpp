// Feeds arbitrary bytes to the configuration line parser, cut into read units the way the
// readers cut a file, and checks what every parse must hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/syntax.h"

namespace {

void check_unit(const char* unit) {
    hv::ConfigKey key;
    hv::ConfigValue value;
    int disabled = -1;
    int result = hv::parse_config_line(unit, key, value, disabled);
    if (result != 0 && result != 1)
        std::abort();
    if (disabled != 0 && disabled != 1)
        std::abort();
    if (result == 0 && (!key.empty() || !value.empty()))
        std::abort();
    if (result == 1) {
        if (key.empty() || key.size() > 127)
            std::abort();
        if (value.view().find('"') != std::string_view::npos)
            std::abort();
        if (hv::trim_view(value.view()).size() != value.size())
            std::abort();
    }
    (void)hv::parse_config_number(value.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static char unit[hv::kReadUnitSize];
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t n = 0;
        while (pos + n < size && n < hv::kReadUnitSize - 1) {
            ++n;
            if (bytes[pos + n - 1] == '\n')
                break;
        }
        std::memcpy(unit, bytes + pos, n);
        unit[n] = '\0';
        check_unit(unit);
        hv::trim_whitespace(unit);
        pos += n;
    }
    return 0;
}

#include "config/host_text.h"

namespace hv {

bool is_usable_host(std::string_view host) {
    if (host.empty() || host.front() == '-')
        return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_' || c == ':' || c == '%';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace hv

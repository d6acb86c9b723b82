// Which host texts may be handed to ping and to the resolver.
#pragma once

#include <string_view>

namespace hv {

/// True when `host` is non-empty, does not start with '-', and holds only ASCII letters,
/// digits and the characters . - _ : %. Any other host text is never handed to a program or
/// a resolver: its check counts as failed.
bool is_usable_host(std::string_view host);

}  // namespace hv

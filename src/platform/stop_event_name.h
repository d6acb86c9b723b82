// Inside the platform layer only: the name of the event a Windows instance waits on for its
// stop request. It names both the process and its PID file, so a request meant for the
// instance of one directory never reaches an instance of another.
#pragma once

#include <cstdint>
#include <string>

namespace hv::platform {

/// `scope` is "Global\\" (visible to every session; needs the right to create global objects)
/// or "Local\\" (this session).
inline std::string stop_event_name(const char* scope, std::uint32_t pid,
                                   const std::string& file_key) {
    return std::string(scope) + "hostvigil-stop-" + std::to_string(pid) + "-" + file_key;
}

}  // namespace hv::platform

// The key that names one file for stop requests on POSIX systems, made the same way by the
// lock backend that publishes it and by -stop, which looks for it among a process's files.
#pragma once

#include <string>

#include <sys/stat.h>

namespace hv::platform {

/// "<st_dev>-<st_ino>" of the file `st` describes.
inline std::string file_key_of(const struct stat& st) {
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

}  // namespace hv::platform

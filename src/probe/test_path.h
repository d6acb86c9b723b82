// Test helpers: the PATH the runner searches, changed for one test and restored after it.
#pragma once

#include <cstdlib>
#include <deque>
#include <string>

#include "platform/instance.h"

namespace hv::test {

inline bool on_windows() {
    return std::string(platform::os_name()) == "Windows";
}

inline char path_separator() {
    return on_windows() ? ';' : ':';
}

/// Sets PATH for as long as the object lives. putenv keeps the text it is given, so every
/// value stays alive until the test program ends.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& value) {
        const char* old = std::getenv("PATH");
        had_old_ = old != nullptr;
        if (had_old_)
            old_ = old;
        set(value);
    }
    ~ScopedPath() { set(had_old_ ? old_ : std::string()); }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

    static std::string current() {
        const char* p = std::getenv("PATH");
        return p != nullptr ? p : "";
    }

  private:
    static void set(const std::string& value) {
        static std::deque<std::string> kept;
        kept.push_back("PATH=" + value);
        putenv(kept.back().data());
    }
    bool had_old_ = false;
    std::string old_;
};

}  // namespace hv::test

#include "output/sinks.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "output/timestamp.h"
#include "platform/files.h"

namespace hv {
namespace {

std::atomic<bool> silent_flag{false};
std::mutex log_lock;
std::mutex console_lock;

std::string vformat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[1024];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<std::size_t>(n) < sizeof small)
        return std::string(small, static_cast<std::size_t>(n));
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, args);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

}  // namespace

void set_silent(bool silent) {
    silent_flag.store(silent);
}
bool is_silent() {
    return silent_flag.load();
}

void log_event(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string message = vformat(fmt, args);
    va_end(args);

    std::lock_guard<std::mutex> guard(log_lock);
    std::FILE* f = platform::open_append(kEventLogFile);
    if (f == nullptr)
        return;
    std::string line = timestamp_now().c_str();
    line += ' ';
    line += message;
    line += '\n';
    // One write per entry, so another process appending to the same log cannot split it.
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}

void console_print(const char* fmt, ...) {
    if (silent_flag.load())
        return;
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);

    std::lock_guard<std::mutex> guard(console_lock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace hv

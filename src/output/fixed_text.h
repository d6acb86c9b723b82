// Fixed-size text: the data model's text fields. A value longer than the field is cut, never
// rejected, and the text is always terminated.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace hv {

#if defined(__GNUC__)
#define HV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define HV_PRINTF(fmt_index, first_arg)
#endif

/// A text of at most N - 1 bytes in an N-byte field, like a NUL-terminated char[N].
template <std::size_t N>
class FixedText {
    static_assert(N >= 1);

  public:
    static constexpr std::size_t kCapacity = N - 1;  ///< most bytes the text can hold

    FixedText() { data_[0] = '\0'; }
    FixedText(std::string_view text) { assign(text); }  // NOLINT: implicit like char arrays

    /// Replaces the text; cut to kCapacity bytes. Bytes after a NUL in `text` are kept out.
    void assign(std::string_view text) {
        size_ = 0;
        data_[0] = '\0';
        append(text);
    }

    /// Appends as much of `text` as fits.
    void append(std::string_view text) {
        std::size_t n = text.size();
        // An empty view may carry a null pointer, which memchr and memcpy must never see.
        if (n == 0)
            return;
        if (const void* nul = std::memchr(text.data(), '\0', n)) {
            n = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
        }
        if (n > kCapacity - size_)
            n = kCapacity - size_;
        std::memcpy(data_ + size_, text.data(), n);
        size_ += n;
        data_[size_] = '\0';
    }

    void append(char c) { append(std::string_view(&c, 1)); }

    /// Replaces the text with printf-style formatting, cut silently at the field's size.
    void format(const char* fmt, ...) HV_PRINTF(2, 3) {
        va_list args;
        va_start(args, fmt);
        vformat_at(0, fmt, args);
        va_end(args);
    }

    /// Appends printf-style formatting, cut silently at the field's size.
    void append_format(const char* fmt, ...) HV_PRINTF(2, 3) {
        va_list args;
        va_start(args, fmt);
        vformat_at(size_, fmt, args);
        va_end(args);
    }

    void clear() { assign({}); }

    const char* c_str() const { return data_; }
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }  // NOLINT
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    friend bool operator==(const FixedText& a, std::string_view b) { return a.view() == b; }

  private:
    void vformat_at(std::size_t at, const char* fmt, va_list args) {
        int n = std::vsnprintf(data_ + at, N - at, fmt, args);
        if (n < 0) {
            data_[at] = '\0';
            size_ = at;
            return;
        }
        std::size_t written = at + static_cast<std::size_t>(n);
        // A %s argument holding a NUL-free text is the only way in, so strlen is exact here.
        size_ = written > kCapacity ? kCapacity : written;
    }

    char data_[N];
    std::size_t size_ = 0;
};

}  // namespace hv

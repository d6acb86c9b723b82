#include "notify/mail_message.h"

#include <cctype>
#include <cstdio>

#include "config/syntax.h"
#include "notify/text_encoding.h"
#include "output/fixed_text.h"
#include "platform/clock.h"

namespace hv {
namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool is_domain_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-';
}

// A header value never carries a line end of its own: it would start a header line.
std::string single_line(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return out;
}

constexpr std::size_t kMaxLineBytes = 998;    ///< the hard limit of one line, without CR LF
constexpr std::size_t kFoldedLineBytes = 78;  ///< the recommended length of a folded line

// "To: <list>" as one header line when it fits within the line limit; else folded after the
// list's commas, a line end put before the white space that starts the next entry, with lines
// filled up to the recommended length. An entry longer than a line stays whole.
std::string address_header(std::string_view name, std::string_view list) {
    std::string out(name);
    out += ": ";
    if (out.size() + list.size() <= kMaxLineBytes) {
        out += list;
        return out;
    }
    std::size_t line_start = 0;
    bool first = true;
    while (!list.empty() || first) {
        std::size_t comma = list.find(',');
        std::string_view entry =
            list.substr(0, comma == std::string_view::npos ? list.size() : comma + 1);
        list.remove_prefix(entry.size());
        if (!first && out.size() - line_start + entry.size() > kFoldedLineBytes) {
            out += "\r\n";
            line_start = out.size();
            if (entry.empty() || (entry.front() != ' ' && entry.front() != '\t'))
                out += ' ';
        }
        out += entry;
        first = false;
    }
    return out;
}

}  // namespace

std::vector<std::string> split_recipients(const char* recipients) {
    std::vector<std::string> entries;
    if (recipients == nullptr)
        return entries;
    FixedText<1200> copy(recipients);
    std::string_view rest = copy.view();
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view entry = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!entry.empty() && is_blank(entry.front()))
            entry.remove_prefix(1);
        while (!entry.empty() && is_blank(entry.back()))
            entry.remove_suffix(1);
        if (!entry.empty())
            entries.emplace_back(entry);
    }
    return entries;
}

std::string format_mail_date(std::time_t t) {
    return format_mail_date(platform::local_time(t), platform::utc_offset_minutes(t));
}

std::string format_mail_date(const std::tm& tm, int utc_offset_minutes) {
    int offset = utc_offset_minutes;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0)
        offset = -offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                  kDayNames[tm.tm_wday % 7], tm.tm_mday, kMonthNames[tm.tm_mon % 12],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, offset / 60,
                  offset % 60);
    return text;
}

std::string mail_domain(std::string_view sender) {
    std::string domain;
    std::size_t at = sender.rfind('@');
    if (at != std::string_view::npos) {
        for (std::size_t i = at + 1; i < sender.size() && is_domain_char(sender[i]); ++i)
            domain += sender[i];
    }
    return domain;
}

std::string smtp_url_with_greeting_name(std::string_view server, std::string_view name) {
    std::size_t scheme = server.find("://");
    std::size_t authority = scheme == std::string_view::npos ? 0 : scheme + 3;
    std::size_t path = server.find_first_of("/?#", authority);
    std::string url(server);
    if (path != std::string_view::npos && server[path] == '/' && path + 1 < server.size() &&
        server.find_first_of("?#", path) != path + 1)
        return url;  // the user's own path: curl greets with it
    if (path != std::string_view::npos && server[path] == '/') {
        url.insert(path + 1, name);  // "smtp://host/" or "smtp://host/?..."
        return url;
    }
    std::string piece = "/";
    piece += name;
    url.insert(path == std::string_view::npos ? url.size() : path, piece);
    return url;
}

std::string make_notice_message_id(std::string_view sender, std::string_view notice_id) {
    std::string kept;
    for (char c : notice_id) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (allowed && kept.size() < 64)
            kept += c;
    }
    if (kept.empty())
        return {};
    std::string domain = mail_domain(sender);
    if (domain.empty())
        domain = "localhost";
    std::string id = "<hostvigil.";
    id += kept;
    id += '@';
    id += domain;
    id += '>';
    return id;
}

std::string make_message_id(std::string_view sender, std::time_t t, std::uint32_t pid,
                            unsigned sequence) {
    std::string domain = mail_domain(sender);
    if (domain.empty())
        domain = "localhost";
    std::tm tm = platform::local_time(t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%u.%u", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<unsigned>(pid), sequence);
    // Appended piece by piece: the operator+ chain trips a false -Werror=restrict in GCC 12's
    // optimised builds.
    std::string id = "<";
    id += stamp;
    id += '@';
    id += domain;
    id += '>';
    return id;
}

std::string build_mail_message(const MailHeader& header, std::string_view body) {
    std::string out;
    out.reserve(512 + body.size() * 2);
    // The message declares UTF-8: bytes of a legacy code page become U+FFFD.
    out += "From: " + single_line(to_utf8_text(header.from)) + "\r\n";
    out += address_header("To", single_line(to_utf8_text(header.to))) + "\r\n";
    constexpr std::string_view kSubject = "Subject: ";
    out += kSubject;
    out += encode_header_text(to_utf8_text(header.subject), kSubject.size());
    out += "\r\n";
    out += "Date: " + header.date + "\r\n";
    out += "Message-ID: " + header.message_id + "\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "\r\n";
    const std::string text = to_utf8_text(body);
    body = text;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\n' && (i == 0 || body[i - 1] != '\r'))
            out += '\r';
        out += body[i];
    }
    out += "\r\n";
    return out;
}

}  // namespace hv

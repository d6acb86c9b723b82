// The pieces of one e-mail: the recipient list as curl gets it and the message file's text.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace hv {

/// The addresses of a comma-separated list, in list order: the list is cut to its first 1,199
/// bytes, split at every comma, each entry stripped of surrounding white space, and entries
/// that strip to nothing dropped.
std::vector<std::string> split_recipients(const char* recipients);

/// `t` as an RFC 5322 date in local time with its numeric zone, in English whatever the
/// locale: "Thu, 10 Dec 2026 03:15:00 +0100".
std::string format_mail_date(std::time_t t);

/// The same text for a broken-down local time (tm_wday, tm_mday, tm_mon, tm_year, tm_hour,
/// tm_min and tm_sec are used) whose zone is `utc_offset_minutes` east of UTC.
std::string format_mail_date(const std::tm& local, int utc_offset_minutes);

/// The domain of `sender`: the text after its last '@', up to the first character that cannot
/// stand in a domain; empty when there is none.
std::string mail_domain(std::string_view sender);

/// The SMTP server URL as curl gets it. curl greets the server (EHLO) with the URL's path, and
/// with no path it takes the uploaded file's name instead, a transient name that mail servers
/// and spam filters would judge the machine by. So a URL without a path ("smtp://host:25",
/// "smtp://host/") gets `name` as its path; a URL with a path of its own is kept.
std::string smtp_url_with_greeting_name(std::string_view server, std::string_view name);

/// "<YYYYMMDDTHHMMSS.pid.sequence@domain>" with the domain of `sender` (the text after its last
/// '@', up to the first character that cannot stand in a domain); "localhost" when it has none.
std::string make_message_id(std::string_view sender, std::time_t t, std::uint32_t pid,
                            unsigned sequence);

/// "<hostvigil.ID@domain>" for the notice whose lasting id is `notice_id`, so that every try
/// of one notice, also after a restart, carries the same Message-ID. Only letters, digits,
/// '.' and '-' of the id are kept (it comes back from the state file), at most 64 of them;
/// empty when none is left.
std::string make_notice_message_id(std::string_view sender, std::string_view notice_id);

/// Everything that identifies one message in its header.
struct MailHeader {
    std::string_view from;
    std::string_view to;
    std::string_view subject;
    std::string date;
    std::string message_id;
};

/// The message file's text with every line ending in CR LF: From, To (folded after its commas
/// when it would pass 998 bytes), Subject (encoded when not ASCII), Date, Message-ID, MIME-Version,
/// Content-Type, the empty line, then the body and one more line end. A line feed in the body
/// becomes CR LF; a CR LF already there stays one.
std::string build_mail_message(const MailHeader& header, std::string_view body);

}  // namespace hv

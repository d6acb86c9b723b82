// The alert configuration "hostvigil_email.txt" and the scrambling of its stored secrets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/fixed_text.h"

namespace hv {

inline constexpr const char* kAlertConfigFile = "hostvigil_email.txt";
inline constexpr int kDefaultRetryMinutes = 60;
inline constexpr int kMaxRetryMinutes = 10080;  ///< one week

/// Process-wide alert settings. Filled once on the main thread; read without locks afterwards,
/// except `from`, which the e-mail channel fills from `email` under the mail lock.
struct AlertSettings {
    FixedText<256> server;              ///< SMTP server URL handed to curl
    FixedText<256> email;               ///< SMTP login; the sender when `from` is empty
    FixedText<128> password;            ///< SMTP password, plain in memory
    FixedText<256> from;                ///< sender address
    FixedText<1024> to;                 ///< alert recipients, comma-separated
    FixedText<512> iamalive;            ///< recipients of the daily heartbeat
    FixedText<256> token;               ///< Telegram bot token, plain in memory
    FixedText<256> chat_id;             ///< Telegram chat
    FixedText<8192> teams_webhook;      ///< Teams incoming-webhook URL
    std::int32_t email_enabled = 0;     ///< server, email, password and to all set
    std::int32_t telegram_enabled = 0;  ///< token and chat_id both set
    std::int32_t teams_enabled = 0;     ///< teams_webhook set
    std::int32_t iamalive_valid = 0;    ///< an accepted iamalive value held an '@'
    std::int32_t conceal_password = 0;  ///< the password is whole and may be stored scrambled
    std::int32_t conceal_token = 0;     ///< the token is whole and may be stored scrambled
    /// Minutes a failed alert or recovery send is tried again before it is given up; 0: one
    /// try only. 0 to kMaxRetryMinutes; values outside are clamped.
    std::int32_t retry_minutes = kDefaultRetryMinutes;
};

enum class AlertLoadResult {
    ok,          ///< loaded, or missing: a missing file only leaves every channel off
    utf16_text,  ///< printed "%s is UTF-16 text; save it as UTF-8\n"; every channel is off
};

/// Reads `path` into `settings`; the file itself is left as it is (conceal_alert_secrets does
/// the rewrite). A UTF-8 byte order mark at its start is skipped. A missing file prints
/// "%s is not existed. It is unable to send email alerts\n" and leaves every channel off.
/// A UTF-16 file is refused: run mode does not start on it, since every alert would be lost
/// without a word.
AlertLoadResult load_alert_config(AlertSettings& settings, const char* path = kAlertConfigFile);

/// Rewrites `path` so that the first password and token lines hold the scrambled form of the
/// loaded secrets, password first. A line that already holds a scrambled text is kept, so a
/// file with nothing plain in it is not touched at all. Temporary files that a crashed rewrite
/// left beside the file are deleted first.
void conceal_alert_secrets(const AlertSettings& settings, const char* path = kAlertConfigFile);

/// Turns a stored secret into the plain one: a text starting with "encry" is unscrambled, any
/// other is copied. Returns 1 with `out` filled, 0 with `out` empty for a malformed scrambled
/// text or a null argument.
int reveal_secret(const char* text, char* out, std::size_t out_size);

/// Replaces the first line of `path` whose key is `key` by `key : "<scrambled value>"`,
/// copying every other line, and a UTF-8 byte order mark, byte for byte
/// (platform::replace_file_whole with keep_existing:
/// whole, same owner and mode, through a symbolic link). Nothing is written when no line has the
/// key or its value is already a well-formed scrambled text. Returns 1 when the file was rewritten,
/// 0 when it was left as it was.
int conceal_secret_in_file(const char* key, const char* value, const char* path = kAlertConfigFile);

}  // namespace hv

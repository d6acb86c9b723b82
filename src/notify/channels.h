// The three notification channels. Each makes its own enabled test and returns 1 when curl
// ran and exited with 0, 0 otherwise. curl gets every secret (login, bot token, webhook address)
// on its standard input, never in its argument vector.
//
// Each send stores curl's exit code in `exit_code` when given (-1: curl was not run) and, in
// `failure` when given, the reason of a failed send: empty when it was delivered or nothing is
// known (curl not run), otherwise one line of at most 200 bytes, without control characters
// and never holding a password, login, bot token or webhook address (each is replaced by
// "***"). It reads
//   "HTTP 403"                                        Telegram and Teams, refused by the server
//   "SMTP 535, curl: (67) Login denied"               e-mail, refused by the server
//   "curl: (7) Failed to connect to 127.0.0.1 ..."    no answer, or a local failure
// : the server's last reply code when it was an error (400 and above), and curl's own error
// line for e-mail or when no error reply came. The console keeps its one "<channel> command
// rc=" line per send; the reason goes to the event log with the delivery queue's line.
#pragma once

#include <string>
#include <string_view>

#include "config/alert_config.h"

namespace hv {

/// The Telegram Bot API host the messages go to.
inline constexpr const char* kTelegramApiHost = "api.telegram.org";
/// The `$schema` of the Teams card.
inline constexpr const char* kAdaptiveCardSchema =
    "http://adaptivecards.io/schemas/adaptive-card.json";

/// One plain-text e-mail to the comma-separated `recipients`. Fills an empty `from` with
/// `email` at its first send, under the mail lock; the send itself holds no lock, so e-mails
/// from several threads go out side by side. Absent subject or body: empty.
/// `notice_id`, when given, is the lasting id of the notice the mail carries: its Message-ID is
/// made from it, so a repeated send of one notice is one message to the receiving side.
int send_email_alert(AlertSettings& alerts, const char* recipients, const char* subject,
                     const char* body, int* exit_code = nullptr, std::string* failure = nullptr,
                     std::string_view notice_id = {});

/// One Telegram message; an absent or empty text sends nothing.
int send_telegram_alert(const AlertSettings& alerts, const char* text, int* exit_code = nullptr,
                        std::string* failure = nullptr);

/// One Teams Adaptive Card; an absent text posts an empty text block. Safe to call from
/// several threads at once.
int send_teams_alert(const AlertSettings& alerts, const char* text, int* exit_code = nullptr,
                     std::string* failure = nullptr);

/// True when the channel has everything it needs to send a notice to its configured
/// recipients (e-mail: server, login, password and at least one address in `to`).
bool email_channel_ready(const AlertSettings& alerts);
bool telegram_channel_ready(const AlertSettings& alerts);
bool teams_channel_ready(const AlertSettings& alerts);

/// The Teams request body: one line of JSON, the card holding `text` (null: empty).
std::string build_teams_payload(const char* text);

}  // namespace hv

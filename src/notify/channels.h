// The three notification channels. Each makes its own enabled test and returns 1 when curl
// ran and exited with 0, 0 otherwise. curl gets every secret (login, bot token, webhook address)
// on its standard input, never in its argument vector.
#pragma once

#include <string>

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
/// Each send stores curl's exit code in `exit_code` when given (-1: curl was not run).
int send_email_alert(AlertSettings& alerts, const char* recipients, const char* subject,
                     const char* body, int* exit_code = nullptr);

/// One Telegram message; an absent or empty text sends nothing.
int send_telegram_alert(const AlertSettings& alerts, const char* text, int* exit_code = nullptr);

/// One Teams Adaptive Card; an absent text posts an empty text block. Safe to call from
/// several threads at once.
int send_teams_alert(const AlertSettings& alerts, const char* text, int* exit_code = nullptr);

/// True when the channel has everything it needs to send a notice to its configured
/// recipients (e-mail: server, login, password and at least one address in `to`).
bool email_channel_ready(const AlertSettings& alerts);
bool telegram_channel_ready(const AlertSettings& alerts);
bool teams_channel_ready(const AlertSettings& alerts);

/// The Teams request body: one line of JSON, the card holding `text` (null: empty).
std::string build_teams_payload(const char* text);

}  // namespace hv

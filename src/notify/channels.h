// The three notification channels. Each makes its own enabled test and returns 1 when curl
// ran and exited with 0, 0 otherwise.
#pragma once

#include "config/alert_config.h"

namespace hv {

/// One plain-text e-mail to the comma-separated `recipients`. Serialised by the mail lock;
/// fills an empty `from` with `email` at its first send.
int send_email_alert(AlertSettings& alerts, const char* recipients, const char* subject,
                     const char* body);

/// One Telegram message.
int send_telegram_alert(const AlertSettings& alerts, const char* text);

/// One Teams Adaptive Card.
int send_teams_alert(const AlertSettings& alerts, const char* text);

}  // namespace hv

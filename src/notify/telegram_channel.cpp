#include <string>

#include "config/syntax.h"
#include "notify/channels.h"
#include "notify/curl_run.h"
#include "notify/text_encoding.h"
#include "output/sinks.h"

namespace hv {

int send_telegram_alert(const AlertSettings& alerts, const char* text, int* exit_code,
                        std::string* failure) {
    if (exit_code != nullptr)
        *exit_code = -1;
    if (failure != nullptr)
        failure->clear();
    if (alerts.telegram_enabled == 0 || alerts.token.empty() || alerts.chat_id.empty())
        return 0;
    if (text == nullptr || text[0] == '\0')
        return 0;

    std::string url = "https://" + std::string(kTelegramApiHost) + "/bot";
    url += alerts.token.view();
    url += "/sendMessage?chat_id=";
    url += percent_encode(alerts.chat_id.view(), kTelegramChatRoom);
    url += "&text=";
    url += percent_encode(to_utf8_text(text), kTelegramTextRoom);

    console_print("Sending Telegram alert now .....\n");
    log_event("Send Telegram alert to chat_id [%s]", alerts.chat_id.c_str());
    // The URL carries the bot token, so it goes to curl as config, not as an argument.
    std::string reason;
    int rc = run_curl({"-s", "--fail"}, curl_config_line("url", url), CurlProtocol::http,
                      {url, alerts.token.view()}, &reason);
    console_print("Telegram command rc=%d\n", rc);
    if (failure != nullptr)
        *failure = std::move(reason);
    if (exit_code != nullptr)
        *exit_code = rc;
    return rc == 0 ? 1 : 0;
}

}  // namespace hv

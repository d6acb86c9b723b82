#include <string>

#include "config/syntax.h"
#include "notify/channels.h"
#include "notify/curl_run.h"
#include "notify/text_encoding.h"
#include "notify/transient_file.h"
#include "output/sinks.h"

namespace hv {

std::string build_teams_payload(const char* text) {
    std::string payload =
        "{\"type\":\"message\",\"attachments\":[{\"contentType\":"
        "\"application/vnd.microsoft.card.adaptive\",\"content\":{\"$schema\":\"";
    payload += kAdaptiveCardSchema;
    payload +=
        "\",\"type\":\"AdaptiveCard\",\"version\":\"1.5\",\"body\":[{\"type\":\"TextBlock\","
        "\"text\":\"";
    payload += escape_json_text(to_utf8_text(text != nullptr ? text : "").c_str());
    payload += "\",\"weight\":\"Bolder\",\"size\":\"Medium\",\"wrap\":true}]}}]}";
    return payload;
}

int send_teams_alert(const AlertSettings& alerts, const char* text, int* exit_code,
                     std::string* failure) {
    if (exit_code != nullptr)
        *exit_code = -1;
    if (failure != nullptr)
        failure->clear();
    if (alerts.teams_enabled == 0 || alerts.teams_webhook.empty())
        return 0;

    // Each send has its own payload file, so workers alerting at once never share one.
    TransientFile payload("teamsmsg", ".json");
    if (!payload.created() || !payload.write_and_close(build_teams_payload(text)))
        return 0;

    console_print("Sending Microsoft Teams alert ...\n");
    log_event("Send Teams alert");
    std::string reason;
    int rc = run_curl({"-s", "--fail", "-H", "Content-Type: application/json", "--data-binary",
                       "@" + payload.name()},
                      curl_config_line("url", alerts.teams_webhook.view()), CurlProtocol::http,
                      {alerts.teams_webhook.view()}, &reason);
    console_print("Teams command rc=%d\n", rc);
    if (failure != nullptr)
        *failure = std::move(reason);
    if (exit_code != nullptr)
        *exit_code = rc;
    return rc == 0 ? 1 : 0;
}

}  // namespace hv

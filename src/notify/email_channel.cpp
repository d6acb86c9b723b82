#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "notify/channels.h"
#include "notify/curl_run.h"
#include "notify/mail_message.h"
#include "notify/text_encoding.h"
#include "notify/transient_file.h"
#include "output/sinks.h"
#include "platform/instance.h"

namespace hv {
namespace {

// Guards the write-back of `from`, the one field a send changes.
std::mutex mail_lock;

// The sender address; an empty `from` is filled with `email` at the first send.
std::string sender_address(AlertSettings& alerts) {
    std::lock_guard<std::mutex> guard(mail_lock);
    if (alerts.from.empty())
        alerts.from.format("%s", alerts.email.c_str());
    return std::string(alerts.from.view());
}

}  // namespace

bool email_channel_ready(const AlertSettings& alerts) {
    return alerts.email_enabled != 0 && !alerts.server.empty() && !alerts.email.empty() &&
           !alerts.password.empty() && !split_recipients(alerts.to.c_str()).empty();
}

bool telegram_channel_ready(const AlertSettings& alerts) {
    return alerts.telegram_enabled != 0 && !alerts.token.empty() && !alerts.chat_id.empty();
}

bool teams_channel_ready(const AlertSettings& alerts) {
    return alerts.teams_enabled != 0 && !alerts.teams_webhook.empty();
}

int send_email_alert(AlertSettings& alerts, const char* recipients, const char* subject,
                     const char* body, int* exit_code, std::string* failure,
                     std::string_view notice_id) {
    if (exit_code != nullptr)
        *exit_code = -1;
    if (failure != nullptr)
        failure->clear();
    if (alerts.email_enabled == 0)
        return 0;
    if (recipients == nullptr || recipients[0] == '\0')
        return 0;
    if (alerts.server.empty() || alerts.email.empty() || alerts.password.empty())
        return 0;
    // A list of commas and blanks names nobody. curl, given no recipient, would only ask the
    // server for HELP and exit with 0: a mail that reached no one would count as delivered.
    std::vector<std::string> addresses = split_recipients(recipients);
    if (addresses.empty())
        return 0;

    TransientFile message("pingmailtext", ".txt");
    if (!message.created())
        return 0;

    const std::string sender = sender_address(alerts);
    std::time_t now = std::time(nullptr);
    std::string message_id = make_notice_message_id(sender, notice_id);
    if (message_id.empty())
        message_id = make_message_id(sender, now, platform::current_pid(), message.sequence());
    MailHeader header{sender, recipients, subject != nullptr ? subject : "", format_mail_date(now),
                      std::move(message_id)};
    // A message that could not be written whole is not sent half.
    if (!message.write_and_close(build_mail_message(header, body != nullptr ? body : "")))
        return 0;

    // The greeting names this machine's mail domain: the sender's, else the host name.
    std::string greeting = mail_domain(sender);
    if (greeting.empty()) {
        // Built by appending: GCC 12 takes "@" + string for an overlapping copy in Release.
        std::string at_host("@");
        at_host += platform::computer_name();
        greeting = mail_domain(at_host);
    }
    if (greeting.empty())
        greeting = "localhost";
    std::vector<std::string> options = {
        "-s",          smtp_url_with_greeting_name(alerts.server.view(), greeting),
        "--mail-from", sender,
        "--ssl-reqd",  "-T",
        message.name()};
    for (std::string& address : addresses) {
        options.emplace_back("--mail-rcpt");
        options.push_back(std::move(address));
    }
    std::string login(alerts.email.view());
    login += ':';
    login += alerts.password.view();

    console_print("Sending mail alert now .....\n");
    log_event("Send Mail Alert to %s via SMTP %s", recipients, alerts.server.c_str());
    std::string reason;
    int rc = run_curl(std::move(options), curl_config_line("user", login), CurlProtocol::smtp,
                      {login, alerts.password.view()}, &reason);
    console_print("Email command rc=%d\n", rc);
    if (failure != nullptr)
        *failure = std::move(reason);
    if (exit_code != nullptr)
        *exit_code = rc;
    return rc == 0 ? 1 : 0;
}

}  // namespace hv

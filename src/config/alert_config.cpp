#include "config/alert_config.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/secret.h"
#include "config/syntax.h"
#include "platform/files.h"

namespace hv {
namespace {

constexpr std::size_t kRewriteLimit = 262144;  ///< the rewritten file stays below 256 KiB

/// Stores a password or token value in plain form. `whole` tells whether the field now holds
/// exactly what the line stood for: false when the secret was cut to the field or held a NUL
/// byte, since scrambling the field back into the file would then lose part of the secret.
template <std::size_t N>
void store_secret(FixedText<N>& field, const ConfigValue& value, bool& whole) {
    char plain[ConfigValue::kCapacity + 1];
    std::size_t length = 0;
    if (reveal_secret_length(value.c_str(), plain, sizeof plain, length)) {
        field.assign(std::string_view(plain, length < sizeof plain ? length : sizeof plain - 1));
        whole = length <= FixedText<N>::kCapacity && std::memchr(plain, '\0', length) == nullptr;
    } else {
        // Not a well-formed scrambled text: the value as written is the secret.
        field.assign(value.view());
        whole = value.size() <= FixedText<N>::kCapacity;
    }
}

enum class Rewrite { failed, unchanged, changed };

/// True when the line's value is already a well-formed scrambled text: such a line is left as
/// it stands.
bool holds_scrambled_value(const char* unit) {
    ConfigKey key;
    ConfigValue value;
    int disabled = 0;
    if (!parse_config_line(unit, key, value, disabled) ||
        value.view().substr(0, kScramblePrefix.size()) != kScramblePrefix)
        return false;
    char plain[kMaxRevealedBytes + 1];
    return reveal_secret(value.c_str(), plain, sizeof plain) == 1;
}

/// The content of `path` with the first line whose key is `key` replaced by `replacement`.
/// `unchanged` when no line has the key or that line already holds a scrambled value; `failed`
/// when the file cannot be read whole or the result would reach the size limit.
Rewrite build_rewritten(const char* path, std::string_view key, std::string_view replacement,
                        std::string& content) {
    ConfigFile file(path);
    if (!file.is_open())
        return Rewrite::failed;
    ReadUnitReader reader(file.get());
    // A UTF-16 file holds no line the loader took a secret from.
    TextEncoding encoding = reader.encoding();
    if (is_utf16(encoding))
        return Rewrite::unchanged;
    if (encoding == TextEncoding::utf8_bom)
        content.assign(kUtf8Bom);
    char unit[kReadUnitSize];
    std::size_t size = 0;
    bool replaced = false;
    std::string line;
    while (reader.next(unit, size)) {
        std::string_view output(unit, size);
        if (!replaced) {
            // Decisions look at the text as far as its first NUL, like every other reader.
            std::string_view copy = trim_view(unit);
            std::size_t separator = find_config_separator(copy);
            if (!copy.empty() && copy.front() != '#' && copy.front() != '*' &&
                separator != std::string_view::npos &&
                trim_view(copy.substr(0, separator)) == key) {
                if (holds_scrambled_value(unit))
                    return Rewrite::unchanged;
                // The new line keeps the line end of the one it replaces (CR LF or LF).
                std::string_view unit_view(unit, size);
                bool crlf = unit_view.size() >= 2 &&
                            unit_view.substr(unit_view.size() - 2) == std::string_view("\r\n");
                line.assign(key);
                line.append(" : \"").append(replacement).append(crlf ? "\"\r\n" : "\"\n");
                output = line;
                replaced = true;
            }
        }
        if (content.size() + output.size() + 1 >= kRewriteLimit)
            return Rewrite::failed;
        content.append(output);
    }
    // A read error midway must not turn into a shortened file.
    if (reader.failed())
        return Rewrite::failed;
    return replaced ? Rewrite::changed : Rewrite::unchanged;
}

}  // namespace

int conceal_secret_in_file(const char* key, const char* value, const char* path) {
    if (key == nullptr || value == nullptr || value[0] == '\0' || path == nullptr)
        return 0;
    ScrambledText scrambled;
    scramble_secret(value, scrambled);
    // A secret the stored form cannot give back whole (more than 255 bytes, or a byte that
    // the scrambling turns into '~') stays as the user wrote it rather than being replaced by
    // a different secret.
    char check[kMaxRevealedBytes + 1];
    if (!reveal_secret(scrambled.c_str(), check, sizeof check) || std::strcmp(check, value) != 0)
        return 0;

    std::string content;
    if (build_rewritten(path, key, scrambled.view(), content) != Rewrite::changed)
        return 0;
    return platform::replace_file_whole(path, content, platform::ReplacePolicy::keep_existing) ? 1
                                                                                               : 0;
}

void conceal_alert_secrets(const AlertSettings& settings, const char* path) {
    // Every load comes here: the place to clear what a crashed rewrite left behind.
    platform::remove_stale_temporaries(path);
    if (settings.conceal_password)
        conceal_secret_in_file("password", settings.password.c_str(), path);
    if (settings.conceal_token)
        conceal_secret_in_file("token", settings.token.c_str(), path);
}

AlertLoadResult load_alert_config(AlertSettings& settings, const char* path) {
    ConfigFile file(path);
    settings = AlertSettings{};
    if (!file.is_open()) {
        std::printf("%s is not existed. It is unable to send email alerts\n", path);
        return AlertLoadResult::ok;
    }

    bool password_whole = true;
    bool token_whole = true;
    ReadUnitReader reader(file.get());
    if (is_utf16(reader.encoding())) {
        print_utf16_refusal(path);
        return AlertLoadResult::utf16_text;
    }
    char unit[kReadUnitSize];
    std::size_t size = 0;
    ConfigKey key;
    ConfigValue value;
    int disabled = 0;
    while (reader.next(unit, size)) {
        if (!parse_config_line(unit, key, value, disabled) || disabled)
            continue;
        if (key == "server") {
            settings.server.assign(value);
        } else if (key == "email") {
            settings.email.assign(value);
        } else if (key == "password") {
            store_secret(settings.password, value, password_whole);
        } else if (key == "from") {
            settings.from.assign(value);
        } else if (key == "to") {
            settings.to.assign(value);
        } else if (key == "iamalive") {
            settings.iamalive.assign(value);
            // Once set, the flag stays: a later address without '@' does not clear it.
            if (settings.iamalive.view().find('@') != std::string_view::npos)
                settings.iamalive_valid = 1;
        } else if (key == "token") {
            store_secret(settings.token, value, token_whole);
            if (!settings.token.empty())
                settings.telegram_enabled = 1;
        } else if (key == "chat_id") {
            settings.chat_id.assign(value);
        } else if (key == "retry_minutes") {
            std::int32_t minutes = parse_config_number(value);
            settings.retry_minutes =
                minutes < 0 ? 0 : (minutes > kMaxRetryMinutes ? kMaxRetryMinutes : minutes);
        } else if (key == "teams_webhook") {
            settings.teams_webhook.assign(value);
            if (!settings.teams_webhook.empty())
                settings.teams_enabled = 1;
        }
    }
    file.close();

    settings.email_enabled = !settings.server.empty() && !settings.email.empty() &&
                                     !settings.password.empty() && !settings.to.empty()
                                 ? 1
                                 : 0;
    settings.conceal_password = !settings.password.empty() && password_whole ? 1 : 0;
    settings.conceal_token = !settings.token.empty() && token_whole ? 1 : 0;
    if (settings.token.empty() || settings.chat_id.empty())
        settings.telegram_enabled = 0;
    if (settings.teams_webhook.empty())
        settings.teams_enabled = 0;
    return AlertLoadResult::ok;
}

}  // namespace hv

#include "state/state.h"

#include <cstdio>
#include <filesystem>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/instance.h"

namespace hv::state {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxFileBytes = 16u << 20;

// Looks up one optional member of `object`. Each reader returns false only when the key is
// there with a value it cannot take; a missing key leaves the target at its default.
class FieldReader {
  public:
    FieldReader(const json& object, std::string& reason, const char* where)
        : object_(object), reason_(reason), where_(where) {}

    bool integer(const char* key, std::int64_t& target, std::int64_t low, std::int64_t high) {
        auto it = object_.find(key);
        if (it == object_.end())
            return true;
        if (!it->is_number_integer())
            return fail(key, "is not a whole number");
        if (it->is_number_unsigned() &&
            it->get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return fail(key, "is out of range");
        std::int64_t value = it->get<std::int64_t>();
        if (value < low || value > high)
            return fail(key, "is out of range");
        target = value;
        return true;
    }
    bool integer(const char* key, std::int32_t& target, std::int32_t low, std::int32_t high) {
        std::int64_t value = target;
        if (!integer(key, value, low, high))
            return false;
        target = static_cast<std::int32_t>(value);
        return true;
    }
    bool boolean(const char* key, bool& target) {
        auto it = object_.find(key);
        if (it == object_.end())
            return true;
        if (!it->is_boolean())
            return fail(key, "is not true or false");
        target = it->get<bool>();
        return true;
    }
    bool text(const char* key, std::string& target, bool required = false) {
        auto it = object_.find(key);
        if (it == object_.end())
            return required ? fail(key, "is missing") : true;
        if (!it->is_string())
            return fail(key, "is not a text");
        target = it->get<std::string>();
        return true;
    }

  private:
    bool fail(const char* key, const char* problem) {
        reason_ = std::string(where_) + " \"" + key + "\" " + problem;
        return false;
    }
    const json& object_;
    std::string& reason_;
    const char* where_;
};

constexpr std::int64_t kTimeMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int32_t kCountMax = std::numeric_limits<std::int32_t>::max();

bool read_channel(const std::string& name, Channel& channel) {
    for (Channel c : {Channel::email, Channel::telegram, Channel::teams}) {
        if (name == channel_key(c)) {
            channel = c;
            return true;
        }
    }
    return false;
}

bool read_kind(const std::string& name, NoticeKind& kind) {
    for (NoticeKind k : {NoticeKind::alert, NoticeKind::recovery}) {
        if (name == kind_key(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

bool read_notice(const json& item, PendingNotice& notice, std::string& reason) {
    if (!item.is_object()) {
        reason = "a pending notice is not an object";
        return false;
    }
    FieldReader field(item, reason, "pending notice:");
    std::string channel, kind;
    if (!field.text("channel", channel, true) || !field.text("kind", kind, true) ||
        !field.text("text", notice.text, true) ||
        !field.integer("first_queued", notice.first_queued, 0, kTimeMax) ||
        !field.integer("attempts", notice.attempts, 0, kCountMax) ||
        !field.integer("next_try", notice.next_try, 0, kTimeMax))
        return false;
    if (!read_channel(channel, notice.channel)) {
        reason = "pending notice: unknown channel \"" + channel + "\"";
        return false;
    }
    if (!read_kind(kind, notice.kind)) {
        reason = "pending notice: unknown kind \"" + kind + "\"";
        return false;
    }
    return true;
}

bool read_host(const json& item, HostState& host, std::string& reason) {
    if (!item.is_object()) {
        reason = "a host entry is not an object";
        return false;
    }
    FieldReader field(item, reason, "host:");
    if (!field.text("host", host.host, true) ||
        !field.integer("occurrence", host.occurrence, 1, kCountMax) ||
        !field.integer("fail_count", host.fail_count, 0, kCountMax) ||
        !field.boolean("alert_outstanding", host.alert_outstanding) ||
        !field.integer("state_since", host.state_since, 0, kTimeMax) ||
        !field.integer("last_check", host.last_check, 0, kTimeMax) ||
        !field.text("last_result", host.last_result))
        return false;
    auto pending = item.find("pending");
    if (pending == item.end())
        return true;
    if (!pending->is_array()) {
        reason = "host: \"pending\" is not a list";
        return false;
    }
    for (const json& entry : *pending) {
        PendingNotice notice;
        if (!read_notice(entry, notice, reason))
            return false;
        host.pending.push_back(std::move(notice));
    }
    return true;
}

}  // namespace

const char* channel_key(Channel channel) {
    switch (channel) {
        case Channel::email:
            return "email";
        case Channel::telegram:
            return "telegram";
        case Channel::teams:
            return "teams";
    }
    return "email";
}

const char* kind_key(NoticeKind kind) {
    return kind == NoticeKind::alert ? "alert" : "recovery";
}

std::string to_json(const Snapshot& snapshot) {
    json hosts = json::array();
    for (const HostState& host : snapshot.hosts) {
        json pending = json::array();
        for (const PendingNotice& notice : host.pending) {
            pending.push_back({{"channel", channel_key(notice.channel)},
                               {"kind", kind_key(notice.kind)},
                               {"text", notice.text},
                               {"first_queued", notice.first_queued},
                               {"attempts", notice.attempts},
                               {"next_try", notice.next_try}});
        }
        hosts.push_back({{"host", host.host},
                         {"occurrence", host.occurrence},
                         {"fail_count", host.fail_count},
                         {"alert_outstanding", host.alert_outstanding},
                         {"state_since", host.state_since},
                         {"last_check", host.last_check},
                         {"last_result", host.last_result},
                         {"pending", std::move(pending)}});
    }
    json document = {{"version", kStateVersion}, {"hosts", std::move(hosts)}};
    // Host and result texts come from the configuration and from ping's output, which need
    // not be UTF-8: such bytes are replaced instead of failing the whole write.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool from_json(std::string_view text, Snapshot& out, std::string& reason) {
    out = Snapshot{};
    json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded()) {
        reason = "not valid JSON";
        return false;
    }
    if (!document.is_object()) {
        reason = "not a JSON object";
        return false;
    }
    auto version = document.find("version");
    if (version == document.end() || !version->is_number_integer() ||
        version->get<std::int64_t>() != kStateVersion) {
        reason = "format version is not " + std::to_string(kStateVersion);
        return false;
    }
    auto hosts = document.find("hosts");
    if (hosts == document.end() || !hosts->is_array()) {
        reason = "\"hosts\" is not a list";
        return false;
    }
    Snapshot snapshot;
    for (const json& item : *hosts) {
        HostState host;
        if (!read_host(item, host, reason))
            return false;
        snapshot.hosts.push_back(std::move(host));
    }
    out = std::move(snapshot);
    return true;
}

LoadResult load_state(const char* path, Snapshot& out, std::string& reason) {
    out = Snapshot{};
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        // A path that exists but cannot be opened (no permission) is not a first start: say so.
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored)) {
            reason = "it cannot be read";
            return LoadResult::ignored;
        }
        return LoadResult::missing;
    }
    std::string text;
    char chunk[65536];
    std::size_t n;
    bool too_big = false;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (text.size() + n > kMaxFileBytes) {
            too_big = true;
            break;
        }
        text.append(chunk, n);
    }
    const bool read_error = std::ferror(in) != 0;
    std::fclose(in);
    if (read_error) {
        reason = "it cannot be read";
        return LoadResult::ignored;
    }
    if (too_big) {
        reason = "it is larger than 16 MiB";
        return LoadResult::ignored;
    }
    return from_json(text, out, reason) ? LoadResult::loaded : LoadResult::ignored;
}

bool save_state(const char* path, const Snapshot& snapshot) {
    const std::string content = to_json(snapshot);
    std::string temp;
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
        temp = std::string(path) + "." + std::to_string(platform::current_pid()) + "-" +
               std::to_string(attempt) + ".tmp";
        file = platform::create_exclusive(temp.c_str(), false);
    }
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = platform::flush_to_disk(file) && ok;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && platform::replace_file(temp.c_str(), path);
    if (!ok)
        platform::delete_file(temp.c_str());
    return ok;
}

}  // namespace hv::state

#include "state/state.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "platform/files.h"

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
    for (NoticeKind k : {NoticeKind::alert, NoticeKind::recovery, NoticeKind::heartbeat}) {
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
        !field.integer("next_try", notice.next_try, 0, kTimeMax) || !field.text("id", notice.id) ||
        !field.text("body", notice.body) || !field.text("recipients", notice.recipients))
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

bool read_hours(const json& item, std::vector<HourCount>& hours, std::string& reason) {
    if (!item.is_array() || item.size() > 24) {
        reason = "host: \"hours\" is not a list of at most 24 entries";
        return false;
    }
    for (const json& entry : item) {
        if (!entry.is_object()) {
            reason = "an hour entry is not an object";
            return false;
        }
        FieldReader field(entry, reason, "hour:");
        HourCount hour;
        if (!field.integer("hour", hour.hour, 0, kTimeMax) ||
            !field.integer("checks", hour.checks, 0, kTimeMax) ||
            !field.integer("up", hour.up, 0, hour.checks))
            return false;
        hours.push_back(hour);
    }
    return true;
}

bool read_recent(std::string& recent, std::string& reason) {
    if (recent.size() > 60 || recent.find_first_not_of("UD") != std::string::npos) {
        reason = "host: \"recent\" is not a text of at most 60 U and D";
        recent.clear();
        return false;
    }
    return true;
}

bool read_sends(const json& document, std::vector<SendTotals>& sends, std::string& reason) {
    auto it = document.find("sends");
    if (it == document.end())
        return true;
    if (!it->is_object()) {
        reason = "\"sends\" is not an object";
        return false;
    }
    for (Channel c : {Channel::email, Channel::telegram, Channel::teams}) {
        auto entry = it->find(channel_key(c));
        if (entry == it->end())
            continue;
        if (!entry->is_object()) {
            reason = "\"sends\" entry is not an object";
            return false;
        }
        FieldReader field(*entry, reason, "sends:");
        SendTotals totals;
        totals.channel = c;
        if (!field.integer("ok", totals.ok, 0, kTimeMax) ||
            !field.integer("failed", totals.failed, 0, kTimeMax))
            return false;
        sends.push_back(totals);
    }
    return true;
}

bool read_pending(const json& list, std::vector<PendingNotice>& pending, const char* where,
                  std::string& reason) {
    if (!list.is_array()) {
        reason = std::string(where) + " \"pending\" is not a list";
        return false;
    }
    for (const json& entry : list) {
        PendingNotice notice;
        if (!read_notice(entry, notice, reason))
            return false;
        pending.push_back(std::move(notice));
    }
    return true;
}

json pending_json(const std::vector<PendingNotice>& pending) {
    json list = json::array();
    for (const PendingNotice& notice : pending) {
        json item = {{"channel", channel_key(notice.channel)},
                     {"kind", kind_key(notice.kind)},
                     {"text", notice.text},
                     {"first_queued", notice.first_queued},
                     {"attempts", notice.attempts},
                     {"next_try", notice.next_try}};
        if (!notice.id.empty())
            item["id"] = notice.id;
        if (!notice.body.empty())
            item["body"] = notice.body;
        if (!notice.recipients.empty())
            item["recipients"] = notice.recipients;
        list.push_back(std::move(item));
    }
    return list;
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
        !field.text("last_result", host.last_result) ||
        !field.integer("last_rtt_us", host.last_rtt_us, -1, kTimeMax) ||
        !field.text("recent", host.recent) || !read_recent(host.recent, reason))
        return false;
    auto hours = item.find("hours");
    if (hours != item.end() && !read_hours(*hours, host.hours, reason))
        return false;
    auto pending = item.find("pending");
    return pending == item.end() || read_pending(*pending, host.pending, "host:", reason);
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
    switch (kind) {
        case NoticeKind::alert:
            return "alert";
        case NoticeKind::recovery:
            return "recovery";
        case NoticeKind::heartbeat:
            return "heartbeat";
        case NoticeKind::test:
            return "test";
    }
    return "alert";
}

std::string to_json(const Snapshot& snapshot) {
    json hosts = json::array();
    for (const HostState& host : snapshot.hosts) {
        json hours = json::array();
        for (const HourCount& hour : host.hours)
            hours.push_back({{"hour", hour.hour}, {"checks", hour.checks}, {"up", hour.up}});
        hosts.push_back({{"host", host.host},
                         {"occurrence", host.occurrence},
                         {"fail_count", host.fail_count},
                         {"alert_outstanding", host.alert_outstanding},
                         {"state_since", host.state_since},
                         {"last_check", host.last_check},
                         {"last_result", host.last_result},
                         {"pending", pending_json(host.pending)},
                         {"last_rtt_us", host.last_rtt_us},
                         {"recent", host.recent},
                         {"hours", std::move(hours)}});
    }
    json sends = json::object();
    for (const SendTotals& totals : snapshot.sends)
        sends[channel_key(totals.channel)] = {{"ok", totals.ok}, {"failed", totals.failed}};
    json document = {
        {"version", kStateVersion},          {"saved_at", snapshot.saved_at},
        {"last_round", snapshot.last_round}, {"round_duration_us", snapshot.round_duration_us},
        {"sends", std::move(sends)},         {"hosts", std::move(hosts)}};
    if (!snapshot.pending.empty())
        document["pending"] = pending_json(snapshot.pending);
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
    FieldReader field(document, reason, "state:");
    if (!field.integer("saved_at", snapshot.saved_at, 0, kTimeMax) ||
        !field.integer("last_round", snapshot.last_round, 0, kTimeMax) ||
        !field.integer("round_duration_us", snapshot.round_duration_us, 0, kTimeMax) ||
        !read_sends(document, snapshot.sends, reason))
        return false;
    auto pending = document.find("pending");
    if (pending != document.end() && !read_pending(*pending, snapshot.pending, "state:", reason))
        return false;
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
    std::string text;
    switch (platform::read_regular_file(path, kMaxFileBytes, text)) {
        case platform::ReadOutcome::read:
            break;
        case platform::ReadOutcome::missing:
            return LoadResult::missing;
        case platform::ReadOutcome::directory:
            reason = "it is a directory";
            return LoadResult::directory;
        case platform::ReadOutcome::link:
            reason = "it is a symbolic link";
            return LoadResult::ignored;
        case platform::ReadOutcome::not_regular:
            reason = "it is not a regular file";
            return LoadResult::ignored;
        case platform::ReadOutcome::unreadable:
            // A path that exists but cannot be opened (no permission) is not a first start.
            reason = "it cannot be read";
            return LoadResult::ignored;
        case platform::ReadOutcome::too_large:
            reason = "it is larger than 16 MiB";
            return LoadResult::ignored;
    }
    return from_json(text, out, reason) ? LoadResult::loaded : LoadResult::ignored;
}

bool save_state(const char* path, const Snapshot& snapshot) {
    return platform::replace_file_whole(path, to_json(snapshot),
                                        platform::ReplacePolicy::regular_private);
}

}  // namespace hv::state

// What run mode keeps on disk between runs: each host's alert state and the notices that have
// not been delivered yet, in one versioned JSON file in the working directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hv::state {

/// Name of the state file in the working directory.
inline constexpr const char* kStateFile = "hostvigil_state.json";
/// The format this program writes and the only one it reads.
inline constexpr int kStateVersion = 1;

/// The channels a notice goes out on: the one list of them in the program.
enum class Channel { email, telegram, teams };
inline constexpr int kChannelCount = 3;
/// What a notice is about. Alerts and recoveries belong to a host; the heartbeat and the
/// notification test belong to the instance. Test notices are never kept in the file.
enum class NoticeKind { alert, recovery, heartbeat, test };

/// One notice for one channel that has not been delivered yet.
struct PendingNotice {
    Channel channel = Channel::email;
    NoticeKind kind = NoticeKind::alert;
    std::string text;  ///< the notice as composed (timestamp, message); an e-mail's subject
    std::int64_t first_queued = 0;  ///< when it was queued; seconds since the epoch
    std::int32_t attempts = 0;      ///< sends tried so far, all failed
    std::int64_t next_try = 0;      ///< earliest time of the next send; seconds since the epoch
    /// Names this notice for good, across tries and restarts; a repeated e-mail carries the
    /// same Message-ID, so receivers can tell it is one message. Empty: given when queued.
    std::string id;
    std::string body;        ///< e-mail body; empty: the text and a line end
    std::string recipients;  ///< e-mail recipients, comma-separated; empty: the alert recipients
};

/// Checks and successes of one clock hour, for the 24-hour availability.
struct HourCount {
    std::int64_t hour = 0;  ///< hours since the epoch
    std::int64_t checks = 0;
    std::int64_t up = 0;
};

/// The lasting record of one configured host. Fields added later must get a default here, a
/// line in the writer and a lookup in the reader; a reader ignores keys it does not know.
struct HostState {
    std::string host;                ///< the host text as configured
    std::int32_t occurrence = 1;     ///< 1 for the first host with this text, 2 for the next...
    std::int32_t fail_count = 0;     ///< consecutive failed checks
    bool alert_outstanding = false;  ///< an alert went out and no recovery notice yet
    std::int64_t state_since = 0;    ///< when the host last went up or down; epoch s, 0: unknown
    std::int64_t last_check = 0;     ///< when the last check ended; epoch s, 0: never
    std::string last_result;         ///< the last check's result line
    std::vector<PendingNotice> pending;  ///< undelivered notices in the order they were queued
    std::int64_t last_rtt_us = -1;       ///< last answered ping's average round trip; -1 unknown
    std::string recent;                  ///< up to 60 last results, oldest first: 'U' up, 'D' down
    std::vector<HourCount> hours;        ///< up to 24 hours of check counts, any order
};

/// Sends of one channel since the instance started.
struct SendTotals {
    Channel channel = Channel::email;
    std::int64_t ok = 0;
    std::int64_t failed = 0;
};

/// Everything the state file holds.
struct Snapshot {
    std::vector<HostState> hosts;
    std::int64_t saved_at = 0;           ///< when the snapshot was taken; epoch s, 0: unknown
    std::int64_t last_round = 0;         ///< when the last complete round started; 0: none
    std::int64_t round_duration_us = 0;  ///< how long that round's checks took
    std::vector<SendTotals> sends;       ///< one entry per channel at most
    std::vector<PendingNotice> pending;  ///< undelivered notices of the instance (heartbeat)
};

/// The file's text: pretty-printed JSON with "version" and "hosts". Bytes that are not UTF-8
/// are replaced, so any host or result text can be written.
std::string to_json(const Snapshot& snapshot);

/// Reads a file's text into `out`. False, with `reason` naming the first problem, when the
/// text is not JSON, carries another version, or holds a known key with a value of the wrong
/// type or range; `out` is then empty. Unknown keys are ignored.
bool from_json(std::string_view text, Snapshot& out, std::string& reason);

enum class LoadResult {
    loaded,
    missing,    ///< no file: a first start
    ignored,    ///< the file could not be read or used; `reason` says why
    directory,  ///< a directory holds the name: no state can be read or kept there
};

/// Reads `path` (at most 16 MiB). Never fails hard and never waits: anything unusable comes
/// back as `ignored` (or `directory`) with an empty snapshot. Only a regular file is read: a
/// symbolic link is not followed, and a pipe or device is not opened in a way that waits.
LoadResult load_state(const char* path, Snapshot& out, std::string& reason);

/// Writes the snapshot to a new file beside `path`, flushes it to the disk and renames it over
/// `path`, so `path` holds the old or the new content whatever happens, a full disk or a crash
/// included (platform::replace_file_whole). Only a regular file is replaced (owner-only mode on
/// POSIX): a symbolic link, directory, pipe or device at `path` is refused and left alone, so
/// the state cannot be written through a link into another file. False when any step failed;
/// the new file is removed then.
bool save_state(const char* path, const Snapshot& snapshot);

/// "email", "telegram", "teams": the names used in the file.
const char* channel_key(Channel channel);
/// "alert", "recovery", "heartbeat", "test": the names used in the file and the log.
const char* kind_key(NoticeKind kind);

}  // namespace hv::state

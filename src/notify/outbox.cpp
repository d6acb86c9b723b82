#include "notify/outbox.h"

#include <algorithm>
#include <random>

#include "notify/channels.h"
#include "output/fixed_text.h"
#include "output/sinks.h"
#include "platform/instance.h"

namespace hv {
namespace {

using state::PendingNotice;

const char* kind_label(NoticeKind kind) {
    switch (kind) {
        case NoticeKind::alert:
            return "alert";
        case NoticeKind::recovery:
            return "recovery notice";
        case NoticeKind::heartbeat:
            return "heartbeat";
        case NoticeKind::test:
            return "test message";
    }
    return "alert";
}

// "45 s" below two minutes, whole minutes above.
FixedText<32> duration_text(std::int64_t seconds) {
    FixedText<32> text;
    if (seconds < 120)
        text.format("%lld s", static_cast<long long>(seconds < 0 ? 0 : seconds));
    else
        text.format("%lld min", static_cast<long long>(seconds / 60));
    return text;
}

FixedText<320> failure_text(const SendOutcome& outcome) {
    FixedText<320> text;
    if (outcome.exit_code == -1)
        text.format("curl was not run");
    else
        text.format("curl exit code %d", outcome.exit_code);
    if (!outcome.failure.empty()) {
        text.append(": ");
        text.append(outcome.failure);
    }
    return text;
}

// "Mail alert for db1" for a host's notice, "Mail heartbeat" for the instance's own.
std::string subject_of(const char* channel, NoticeKind kind, const std::string& host) {
    std::string out = std::string(channel) + " " + kind_label(kind);
    if (!host.empty())
        out += " for " + host;
    return out;
}

std::int64_t wall_now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

std::string make_notice_id() {
    std::random_device random;
    FixedText<64> id;
    id.format("%llx.%lx.%08x", static_cast<unsigned long long>(wall_now()),
              static_cast<unsigned long>(platform::current_pid()), static_cast<unsigned>(random()));
    return std::string(id.view());
}

SendOutcome ChannelSender::send(const PendingNotice& notice) {
    SendOutcome outcome;
    switch (notice.channel) {
        case Channel::email: {
            const std::string body = notice.body.empty() ? notice.text + "\n" : notice.body;
            const char* to =
                notice.recipients.empty() ? alerts_.to.c_str() : notice.recipients.c_str();
            send_email_alert(alerts_, to, notice.text.c_str(), body.c_str(), &outcome.exit_code,
                             &outcome.failure, notice.id);
            break;
        }
        case Channel::telegram:
            send_telegram_alert(alerts_, notice.text.c_str(), &outcome.exit_code, &outcome.failure);
            break;
        case Channel::teams:
            send_teams_alert(alerts_, notice.text.c_str(), &outcome.exit_code, &outcome.failure);
            break;
    }
    return outcome;
}

RetrySchedule::RetrySchedule() : pauses_{30, 120, 300, 600} {}

RetrySchedule::RetrySchedule(std::vector<std::int64_t> pauses_seconds)
    : pauses_(std::move(pauses_seconds)) {
    if (pauses_.empty())
        pauses_.push_back(600);
}

std::int64_t RetrySchedule::pause_after(std::int32_t failed_tries) const {
    std::size_t i = failed_tries < 1 ? 0 : static_cast<std::size_t>(failed_tries - 1);
    return pauses_[std::min(i, pauses_.size() - 1)];
}

Outbox::Outbox(NoticeSender& sender, std::int32_t retry_minutes, OutboxHooks hooks,
               RetrySchedule schedule)
    : sender_(sender),
      retry_time_(std::chrono::minutes(retry_minutes < 0 ? 0 : retry_minutes)),
      hooks_(std::move(hooks)),
      schedule_(std::move(schedule)) {}

Outbox::~Outbox() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    join_threads();
}

void Outbox::start() {
    for (std::size_t i = 0; i < kChannels; ++i) {
        if (!threads_[i].joinable())
            threads_[i] = std::thread([this, i] { run(static_cast<Channel>(i)); });
    }
}

void Outbox::add(int host_index, const std::string& host, PendingNotice notice, bool restored) {
    if (notice.id.empty())
        notice.id = make_notice_id();
    // The wall-clock times a notice carries become points on the monotonic clock here, once:
    // a notice restored from the file keeps its age and its wait for the next try.
    const std::int64_t now = wall_now();
    const Clock::time_point steady_now = Clock::now();
    Entry entry;
    entry.host_index = host_index;
    entry.host = host;
    entry.restored = restored;
    entry.queued =
        steady_now - std::chrono::seconds(std::max<std::int64_t>(0, now - notice.first_queued));
    entry.due = steady_now + std::chrono::seconds(std::max<std::int64_t>(0, notice.next_try - now));
    entry.notice = std::move(notice);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entry.serial = ++last_serial_;
        queues_[static_cast<std::size_t>(entry.notice.channel)].push_back(std::move(entry));
    }
    wake_.notify_all();
}

std::vector<std::vector<PendingNotice>> Outbox::pending(int host_count) const {
    std::vector<std::vector<PendingNotice>> out(
        static_cast<std::size_t>(host_count < 0 ? 0 : host_count) + 1);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::vector<Entry>& queue : queues_) {
        for (const Entry& entry : queue) {
            if (entry.host_index >= 0 && entry.host_index <= host_count)
                out[static_cast<std::size_t>(entry.host_index)].push_back(entry.notice);
        }
    }
    return out;
}

bool Outbox::wait_until_idle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] {
        return busy_ == 0 && std::all_of(queues_.begin(), queues_.end(),
                                         [](const std::vector<Entry>& q) { return q.empty(); });
    });
}

void Outbox::stop_after_draining(int start_window_seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        draining_ = true;
        drain_deadline_ = Clock::now() + std::chrono::seconds(start_window_seconds);
    }
    wake_.notify_all();
    join_threads();
}

void Outbox::join_threads() {
    for (std::thread& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
}

// The first entry that is due and has no earlier entry of its host before it, so a host's
// notices go out in the order they were queued while other hosts pass a notice that waits for
// its retry. Sets `wake` to the earliest time a waiting entry becomes due (`waits` false: none
// waits).
std::vector<Outbox::Entry>::iterator Outbox::next_due(std::vector<Entry>& queue,
                                                      Clock::time_point now,
                                                      Clock::time_point& wake, bool& waits) {
    std::vector<int> hosts_ahead;
    waits = false;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (std::find(hosts_ahead.begin(), hosts_ahead.end(), it->host_index) != hosts_ahead.end())
            continue;
        hosts_ahead.push_back(it->host_index);
        if (it->due <= now)
            return it;
        if (!waits || it->due < wake)
            wake = it->due;
        waits = true;
    }
    return queue.end();
}

// Takes the outcome of the send of entry `serial` into its queue: a delivered or given-up
// notice leaves it, a failed one waits for its next try. Returns the event-log line (empty:
// none), which the caller writes once the lock is released.
std::string Outbox::settle(std::vector<Entry>& queue, std::uint64_t serial,
                           const SendOutcome& outcome, SettledSend& settled) {
    auto it = std::find_if(queue.begin(), queue.end(),
                           [serial](const Entry& e) { return e.serial == serial; });
    if (it == queue.end())
        return {};
    Entry& entry = *it;
    PendingNotice& notice = entry.notice;
    const std::string what = subject_of(channel_label(notice.channel), notice.kind, entry.host);
    settled.host_index = entry.host_index;
    settled.outcome = outcome;
    // A delivered or given-up notice leaves the queue with its line.
    auto finish = [&](std::string line) {
        settled.final = true;
        settled.notice = std::move(notice);
        queue.erase(it);
        return line;
    };
    if (outcome.exit_code == 0) {
        // The test reports its own verdict.
        if (notice.kind == NoticeKind::test)
            return finish({});
        if (entry.restored || notice.attempts > 0)
            return finish(what + " sent, " +
                          std::string(duration_text(wall_now() - notice.first_queued).view()) +
                          " late");
        return finish(what + " sent");
    }
    ++notice.attempts;
    const std::string failed = what + " failed (" + std::string(failure_text(outcome).view()) + ")";
    // A test message gets one try; the log still gets the reason of its failure.
    if (notice.kind == NoticeKind::test)
        return finish(failed);
    const std::int64_t pause = schedule_.pause_after(notice.attempts);
    const Clock::time_point due = Clock::now() + std::chrono::seconds(pause);
    if (retry_time_.count() == 0 || due - entry.queued > retry_time_) {
        FixedText<64> tries;
        tries.format("given up after %d %s", notice.attempts,
                     notice.attempts == 1 ? "try" : "tries");
        return finish(failed + ", " + std::string(tries.view()));
    }
    entry.due = due;
    notice.next_try = wall_now() + pause;
    settled.notice = notice;
    return failed + ", next try in " + std::string(duration_text(pause).view());
}

void Outbox::run(Channel channel) {
    std::vector<Entry>& queue = queues_[static_cast<std::size_t>(channel)];
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        if (draining_ && now > drain_deadline_)
            break;
        Clock::time_point wake;
        bool waits = false;
        auto due = next_due(queue, now, wake, waits);
        if (due == queue.end()) {
            // While draining, what is left waits for a retry: it stays for the state file.
            if (draining_)
                break;
            idle_.notify_all();
            if (waits)
                wake_.wait_until(lock, wake);
            else
                wake_.wait(lock);
            continue;
        }
        const std::uint64_t serial = due->serial;
        const PendingNotice notice = due->notice;
        ++busy_;
        lock.unlock();

        const SendOutcome outcome = sender_.send(notice);
        if (hooks_.counters != nullptr)
            hooks_.counters->count(channel, outcome.exit_code == 0);

        lock.lock();
        SettledSend settled;
        const std::string line = settle(queue, serial, outcome, settled);
        lock.unlock();
        if (!line.empty())
            log_event("%s", line.c_str());
        if (hooks_.settled)
            hooks_.settled(settled);
        if (hooks_.changed)
            hooks_.changed();
        lock.lock();
        --busy_;
    }
    idle_.notify_all();
}

}  // namespace hv

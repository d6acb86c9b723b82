#include "notify/outbox.h"

#include <algorithm>
#include <chrono>

#include "notify/channels.h"
#include "output/fixed_text.h"
#include "output/sinks.h"

namespace hv {
namespace {

using state::Channel;
using state::NoticeKind;

const char* channel_label(Channel channel) {
    switch (channel) {
        case Channel::email:
            return "Mail";
        case Channel::telegram:
            return "Telegram";
        case Channel::teams:
            return "Teams";
    }
    return "Mail";
}

const char* kind_label(NoticeKind kind) {
    return kind == NoticeKind::alert ? "alert" : "recovery notice";
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

FixedText<48> failure_text(int exit_code) {
    FixedText<48> text;
    if (exit_code == -1)
        text.format("curl was not run");
    else
        text.format("curl exit code %d", exit_code);
    return text;
}

}  // namespace

int ChannelSender::send(Channel channel, NoticeKind, const std::string& text) {
    const std::string body = text + "\n";
    int exit_code = -1;
    switch (channel) {
        case Channel::email:
            send_email_alert(alerts_, alerts_.to.c_str(), text.c_str(), body.c_str(), &exit_code);
            break;
        case Channel::telegram:
            send_telegram_alert(alerts_, text.c_str(), &exit_code);
            break;
        case Channel::teams:
            send_teams_alert(alerts_, body.c_str(), &exit_code);
            break;
    }
    return exit_code;
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

Outbox::Outbox(NoticeSender& sender, std::int32_t retry_minutes, std::function<void()> on_change,
               RetrySchedule schedule)
    : sender_(sender),
      retry_seconds_(static_cast<std::int64_t>(retry_minutes < 0 ? 0 : retry_minutes) * 60),
      on_change_(std::move(on_change)),
      schedule_(std::move(schedule)) {}

Outbox::~Outbox() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    stop_threads();
}

void Outbox::start() {
    for (std::size_t i = 0; i < kChannels; ++i) {
        if (!threads_[i].joinable())
            threads_[i] = std::thread([this, i] { run(static_cast<Channel>(i)); });
    }
}

void Outbox::stop_threads() {
    for (std::thread& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
}

void Outbox::add(int host_index, const std::string& host, state::PendingNotice notice,
                 bool restored) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry entry;
        entry.id = ++last_id_;
        entry.host_index = host_index;
        entry.host = host;
        entry.notice = std::move(notice);
        entry.restored = restored;
        queues_[static_cast<std::size_t>(entry.notice.channel)].push_back(std::move(entry));
    }
    wake_.notify_all();
}

std::vector<std::vector<state::PendingNotice>> Outbox::pending(int host_count) const {
    std::vector<std::vector<state::PendingNotice>> out(
        static_cast<std::size_t>(host_count < 0 ? 0 : host_count) + 1);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::vector<Entry>& queue : queues_) {
        for (const Entry& entry : queue) {
            if (entry.host_index >= 1 && entry.host_index <= host_count)
                out[static_cast<std::size_t>(entry.host_index)].push_back(entry.notice);
        }
    }
    return out;
}

void Outbox::stop_after_draining(int start_window_seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        draining_ = true;
        drain_deadline_ = std::time(nullptr) + start_window_seconds;
    }
    wake_.notify_all();
    stop_threads();
}

// The first entry that is due and has no earlier entry of its host before it, so a host's
// notices go out in the order they were queued while other hosts pass a notice that waits for
// its retry. Sets `wake` to the earliest time a waiting entry becomes due (0: none waits).
std::vector<Outbox::Entry>::iterator Outbox::next_due(std::vector<Entry>& queue, std::time_t now,
                                                      std::time_t& wake) {
    std::vector<int> hosts_ahead;
    wake = 0;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (std::find(hosts_ahead.begin(), hosts_ahead.end(), it->host_index) != hosts_ahead.end())
            continue;
        hosts_ahead.push_back(it->host_index);
        if (it->notice.next_try <= now)
            return it;
        if (wake == 0 || it->notice.next_try < wake)
            wake = static_cast<std::time_t>(it->notice.next_try);
    }
    return queue.end();
}

void Outbox::settle(std::vector<Entry>& queue, std::uint64_t id, int exit_code, std::time_t now) {
    auto it = std::find_if(queue.begin(), queue.end(), [id](const Entry& e) { return e.id == id; });
    if (it == queue.end())
        return;
    Entry& entry = *it;
    state::PendingNotice& notice = entry.notice;
    const char* channel = channel_label(notice.channel);
    const char* kind = kind_label(notice.kind);
    if (exit_code == 0) {
        if (entry.restored || notice.attempts > 0) {
            log_event("%s %s for %s sent, %s late", channel, kind, entry.host.c_str(),
                      duration_text(now - notice.first_queued).c_str());
        } else {
            log_event("%s %s for %s sent", channel, kind, entry.host.c_str());
        }
        queue.erase(it);
        return;
    }
    ++notice.attempts;
    const std::int64_t next_try = now + schedule_.pause_after(notice.attempts);
    if (retry_seconds_ == 0 || next_try > notice.first_queued + retry_seconds_) {
        log_event("%s %s for %s failed (%s), given up after %d %s", channel, kind,
                  entry.host.c_str(), failure_text(exit_code).c_str(), notice.attempts,
                  notice.attempts == 1 ? "try" : "tries");
        queue.erase(it);
        return;
    }
    notice.next_try = next_try;
    log_event("%s %s for %s failed (%s), next try in %s", channel, kind, entry.host.c_str(),
              failure_text(exit_code).c_str(), duration_text(next_try - now).c_str());
}

void Outbox::run(Channel channel) {
    std::vector<Entry>& queue = queues_[static_cast<std::size_t>(channel)];
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        std::time_t now = std::time(nullptr);
        if (draining_ && now > drain_deadline_)
            return;
        std::time_t wake = 0;
        auto due = next_due(queue, now, wake);
        if (due == queue.end()) {
            // While draining, what is left waits for a retry: it stays for the state file.
            if (draining_)
                return;
            if (wake == 0)
                wake_.wait(lock);
            else
                wake_.wait_until(lock, std::chrono::system_clock::from_time_t(wake));
            continue;
        }
        const std::uint64_t id = due->id;
        const NoticeKind kind = due->notice.kind;
        const std::string text = due->notice.text;
        lock.unlock();
        const int exit_code = sender_.send(channel, kind, text);
        lock.lock();
        settle(queue, id, exit_code, std::time(nullptr));
        lock.unlock();
        if (on_change_)
            on_change_();
        lock.lock();
    }
}

}  // namespace hv

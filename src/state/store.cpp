#include "state/store.h"

#include "output/sinks.h"
#include "platform/files.h"

namespace hv::state {

StateStore::StateStore(std::string path) : path_(std::move(path)) {
    platform::remove_stale_temporaries(path_.c_str());
    writer_ = std::thread([this] { run(); });
}

StateStore::~StateStore() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void StateStore::publish(Snapshot snapshot) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_ = std::move(snapshot);
        ++published_;
    }
    changed_.notify_all();
}

void StateStore::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = published_;
    changed_.wait(lock, [&] { return written_ >= target; });
}

void StateStore::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return waiting_.has_value() || stopping_; });
        if (!waiting_.has_value())
            return;
        Snapshot snapshot = std::move(*waiting_);
        waiting_.reset();
        const std::uint64_t covers = published_;
        lock.unlock();
        const bool ok = save_state(path_.c_str(), snapshot);
        lock.lock();
        // One line when writing starts to fail and one when it works again, not one a round.
        if (!ok && !writing_failed_)
            log_event("State file %s could not be written", path_.c_str());
        if (ok && writing_failed_)
            log_event("State file %s written again", path_.c_str());
        writing_failed_ = !ok;
        written_ = covers;
        changed_.notify_all();
    }
}

}  // namespace hv::state

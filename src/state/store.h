// The writer of the state file: callers hand over snapshots and go on; one thread writes them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "state/state.h"

namespace hv::state {

/// Owns one writer thread for the life of the object. Snapshots published while a write is
/// running replace each other, so only the newest waits; a slow disk never holds a check.
class StateStore {
  public:
    /// Deletes the temporary files a crashed writer of `path` left behind (never those of a
    /// live process), then starts the writer thread for `path`.
    explicit StateStore(std::string path);
    /// Writes what is still waiting, then ends the writer thread.
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    /// Hands over the newest state; returns at once. Any thread.
    void publish(Snapshot snapshot);

    /// Returns once every snapshot published before the call is on disk (or failed to be).
    void flush();

  private:
    void run();

    std::string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Snapshot> waiting_;
    std::uint64_t published_ = 0;  ///< snapshots handed over so far
    std::uint64_t written_ = 0;    ///< snapshots the writer has finished with
    bool writing_failed_ = false;  ///< the last write failed; logged once until one succeeds
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace hv::state

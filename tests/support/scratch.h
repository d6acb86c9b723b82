// Test helpers shared by every unit test: a fresh directory that goes with everything in it,
// the same as the working directory for one test, and PATH changed for one test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>

namespace hv::test {

/// The character between the entries of PATH.
inline char path_separator() {
    return std::filesystem::path::preferred_separator == '\\' ? ';' : ':';
}

inline bool on_windows() {
    return path_separator() == ';';
}

/// A new, empty directory under the system's temporary folder, removed with everything in it
/// when the object goes. The name is claimed by creating it, so test programs running side by
/// side never share one and none removes another's.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& tag = "test") {
        namespace fs = std::filesystem;
        static std::atomic<unsigned> serial{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::error_code error;
        do {
            dir_ = fs::temp_directory_path() /
                   ("hv-" + tag + "-" + std::to_string(stamp) + "-" + std::to_string(++serial));
        } while (!fs::create_directory(dir_, error) && !error);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& dir() const { return dir_; }

    /// The path of `name` inside the directory, as the code under test takes it.
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    /// Writes `bytes` exactly as given (no line-end translation); returns the file's path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
        out << bytes;
        return path(name);
    }

    /// The whole file, or nothing when it cannot be read.
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    /// How many entries the directory holds (files left behind show up here).
    int entry_count() const {
        int n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_))
            ++n;
        return n;
    }

  private:
    std::filesystem::path dir_;
};

/// A ScratchDir that is the process's working directory while it lives, for code that writes
/// by relative name. The old working directory is back before the directory goes.
class ScopedWorkDir : public ScratchDir {
  public:
    explicit ScopedWorkDir(const std::string& tag = "test")
        : ScratchDir(tag), old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir());
    }
    ~ScopedWorkDir() {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
    }

  private:
    std::filesystem::path old_;
};

/// Sets PATH for as long as the object lives. putenv keeps the text it is given, so every
/// value stays alive until the test program ends.
class ScopedPath {
  public:
    explicit ScopedPath(const std::string& value) {
        const char* old = std::getenv("PATH");
        had_old_ = old != nullptr;
        if (had_old_)
            old_ = old;
        set(value);
    }
    ~ScopedPath() { set(had_old_ ? old_ : std::string()); }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

    /// `dir` first, then the PATH in force.
    static std::string with_first(const std::string& dir) {
        return dir + path_separator() + current();
    }

    static std::string current() {
        const char* p = std::getenv("PATH");
        return p != nullptr ? p : "";
    }

  private:
    static void set(const std::string& value) {
        static std::mutex mutex;
        static std::deque<std::string> kept;
        std::lock_guard<std::mutex> lock(mutex);
        kept.push_back("PATH=" + value);
        putenv(kept.back().data());
    }
    bool had_old_ = false;
    std::string old_;
};

}  // namespace hv::test

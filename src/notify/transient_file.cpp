#include "notify/transient_file.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/instance.h"

namespace hv {
namespace {

// Numbers the sends of this process. A name left behind by an earlier process with the same
// id is skipped rather than reused, so a few attempts are made before giving up.
std::atomic<unsigned> next_sequence{1};
constexpr int kAttempts = 16;

// The stems and extensions the channels create their files under.
struct TransientName {
    std::string_view stem;
    std::string_view extension;
};
constexpr TransientName kTransientNames[] = {{"pingmailtext", ".txt"}, {"teamsmsg", ".json"}};

// The process id in "<stem>-<pid>-<n><extension>"; 0 when `name` is not such a name.
std::uint32_t transient_file_pid(std::string_view name) {
    for (const TransientName& kind : kTransientNames) {
        if (name.size() <= kind.stem.size() + 1 || !name.starts_with(kind.stem) ||
            name[kind.stem.size()] != '-')
            continue;
        std::uint32_t pid = 0;
        return platform::parse_pid_tail(name.substr(kind.stem.size() + 1), kind.extension, pid)
                   ? pid
                   : 0;
    }
    return 0;
}

}  // namespace

TransientFile::TransientFile(std::string_view stem, std::string_view extension) {
    std::string prefix(stem);
    prefix += '-';
    prefix += std::to_string(platform::current_pid());
    prefix += '-';
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        unsigned n = next_sequence.fetch_add(1);
        std::string name = prefix + std::to_string(n) + std::string(extension);
        file_ = platform::create_exclusive(name.c_str(), false);
        if (file_ != nullptr) {
            name_ = std::move(name);
            sequence_ = n;
            return;
        }
    }
}

TransientFile::~TransientFile() {
    if (file_ != nullptr)
        std::fclose(file_);
    if (!name_.empty())
        platform::delete_file(name_.c_str());
}

int sweep_transient_files() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(".", error);
    int deleted = 0;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::uint32_t pid = transient_file_pid(name);
        std::error_code status_error;
        const bool live = pid != platform::current_pid() && platform::process_exists(pid);
        if (pid == 0 || live || !it->is_regular_file(status_error) || it->is_symlink(status_error))
            continue;
        if (platform::delete_file(name.c_str()))
            ++deleted;
    }
    return deleted;
}

bool TransientFile::write_and_close(std::string_view content) {
    if (file_ == nullptr)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file_) == content.size();
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace hv

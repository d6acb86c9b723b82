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
        if (name.size() <= kind.stem.size() + kind.extension.size() + 1 ||
            name.substr(0, kind.stem.size()) != kind.stem || name[kind.stem.size()] != '-' ||
            name.substr(name.size() - kind.extension.size()) != kind.extension)
            continue;
        std::string_view middle = name.substr(
            kind.stem.size() + 1, name.size() - kind.stem.size() - 1 - kind.extension.size());
        std::size_t dash = middle.find('-');
        if (dash == std::string_view::npos || dash == 0 || dash + 1 == middle.size())
            return 0;
        std::uint64_t pid = 0;
        for (std::size_t i = 0; i < middle.size(); ++i) {
            if (i == dash)
                continue;
            if (middle[i] < '0' || middle[i] > '9')
                return 0;
            if (i > dash)
                continue;
            pid = pid * 10 + static_cast<unsigned>(middle[i] - '0');
            if (pid > 0xFFFFFFFFu)
                return 0;
        }
        return static_cast<std::uint32_t>(pid);
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

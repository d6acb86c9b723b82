#include "notify/transient_file.h"

#include <atomic>

#include "platform/files.h"
#include "platform/instance.h"

namespace hv {
namespace {

// Numbers the sends of this process. A name left behind by an earlier process with the same
// id is skipped rather than reused, so a few attempts are made before giving up.
std::atomic<unsigned> next_sequence{1};
constexpr int kAttempts = 16;

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

bool TransientFile::write_and_close(std::string_view content) {
    if (file_ == nullptr)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), file_) == content.size();
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace hv

// The parts of replacing files that are the same on every system: the temporary names and the
// clean-up after a crashed writer.
#include <charconv>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/files.h"
#include "platform/instance.h"

namespace hv::platform {
namespace {

namespace fs = std::filesystem;

// Removes the temporaries of `target` in its directory whose writer has ended. A backup of
// the old file (Windows keeps one while it swaps files) is put back when the target is
// missing, and otherwise removed.
int sweep(const fs::path& target) {
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string prefix = target.filename().string() + ".";
    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error)
        return 0;
    int removed = 0;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string_view rest = std::string_view(name).substr(prefix.size());
        std::uint32_t pid = 0;
        const bool temporary = parse_pid_tail(rest, ".tmp", pid);
        const bool backup = !temporary && parse_pid_tail(rest, ".bak", pid);
        if ((!temporary && !backup) || pid == current_pid() || process_exists(pid))
            continue;
        std::error_code ignored;
        if (!it->is_regular_file(ignored) || it->is_symlink(ignored))
            continue;
        if (backup && !fs::exists(fs::symlink_status(target, ignored))) {
            fs::rename(it->path(), target, ignored);
            continue;
        }
        if (fs::remove(it->path(), ignored))
            ++removed;
    }
    return removed;
}

}  // namespace

bool parse_pid_tail(std::string_view rest, std::string_view suffix, std::uint32_t& pid) {
    if (rest.size() <= suffix.size() || rest.substr(rest.size() - suffix.size()) != suffix)
        return false;
    rest.remove_suffix(suffix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == rest.size())
        return false;
    const std::string_view number = rest.substr(dash + 1);
    if (number.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const char* first = rest.data();
    const char* last = rest.data() + dash;
    auto [end, error] = std::from_chars(first, last, pid);
    return error == std::errc() && end == last && pid != 0;
}

std::string temporary_file_name(const std::string& target, unsigned number) {
    return target + "." + std::to_string(current_pid()) + "-" + std::to_string(number) + ".tmp";
}

int remove_stale_temporaries(const char* path) {
    if (path == nullptr || *path == '\0')
        return 0;
    const fs::path target(path);
    int removed = sweep(target);
    // A followed link has its temporaries beside the file it leads to.
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path final_target = fs::canonical(target, error);
        if (!error)
            removed += sweep(final_target);
    }
    return removed;
}

}  // namespace hv::platform

// Runs one command per target at the same moment and prints the wall time until the last has
// ended (the ideal a batch of concurrent checks can reach on this machine), the number of runs
// that failed, and the largest peak resident set size among them in KiB.
//
//   hv_concurrent_run <program> [arguments...] [-- <target>...]
//
// Each run is `program arguments... target` with its output on the null device; without
// targets, the command runs once as given. The program is located once before the clock
// starts, so the time holds process start-up and the command's own work, nothing of this tool.
// The peak memory of a child also covers this small tool's own pages, which the child shares
// until it executes the program (posix_spawn), so it is a figure from above.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string locate(const char* name) {
    if (std::strchr(name, '/') != nullptr)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && dirs[start] == '/' && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    int sep = 1;
    while (sep < argc && std::strcmp(argv[sep], "--") != 0)
        ++sep;
    if (sep < 2 || sep + 1 == argc) {
        std::fprintf(stderr, "usage: %s program [arguments...] -- target...\n", argv[0]);
        return 2;
    }
    const std::string program = locate(argv[1]);
    if (program.empty()) {
        std::fprintf(stderr, "%s: not found\n", argv[1]);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    std::vector<char*> args(argv + 1, argv + sep);
    std::vector<char*> targets(argv + std::min(sep + 1, argc), argv + argc);
    if (targets.empty())
        targets.push_back(nullptr);  // one run, arguments as given
    args.push_back(nullptr);         // the target's place
    args.push_back(nullptr);
    std::vector<pid_t> pids;
    const auto start = std::chrono::steady_clock::now();
    for (char* target : targets) {
        args[args.size() - 2] = target;
        pid_t pid = 0;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ) == 0)
            pids.push_back(pid);
    }
    int failures = 0;
    long peak_kib = 0;
    for (pid_t pid : pids) {
        int status = 0;
        struct rusage usage {};
        while (wait4(pid, &status, 0, &usage) < 0) {
        }
        failures += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    std::printf("%.6f %d %ld\n", elapsed.count(), failures, peak_kib);
    return pids.size() == targets.size() ? 0 : 1;
}

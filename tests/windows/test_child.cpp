// The child program of the Windows process tests. The first argument picks what it does:
//   args          prints every further argument as "<arg>" on a line of its own
//   wargs         the same, split from the command line by CommandLineToArgvW
//   stdin         copies its standard input to standard output
//   exit N        ends with exit code N (decimal or 0x hexadecimal)
//   spam N        writes N bytes to standard output, then "ERR" to standard error
//   stderr        writes "only-err" to standard error only
//   sleep MS      sleeps MS milliseconds
//   mark F MS     creates file F, sleeps MS milliseconds, then creates file F.end
//   job           prints "kill-on-close" when it runs in a job object that ends it once the
//                 job's last handle closes, "job" in another job object, "none" outside any
#include <windows.h>

#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void touch(const char* path) {
    if (std::FILE* f = std::fopen(path, "wb"))
        std::fclose(f);
}

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return 2;
    std::string mode = argv[1];
    if (mode == "args") {
        for (int i = 2; i < argc; ++i)
            std::printf("<%s>\n", argv[i]);
    } else if (mode == "wargs") {
        int count = 0;
        LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
        for (int i = 2; wide != nullptr && i < count; ++i) {
            char narrow[4096];
            int n = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, narrow, sizeof narrow, nullptr,
                                        nullptr);
            std::printf("<%s>\n", n > 0 ? narrow : "?");
        }
        LocalFree(wide);
    } else if (mode == "stdin") {
        char buffer[4096];
        DWORD n = 0;
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0)
            std::fwrite(buffer, 1, n, stdout);
    } else if (mode == "exit" && argc > 2) {
        std::fflush(stdout);
        ExitProcess(static_cast<UINT>(std::strtoul(argv[2], nullptr, 0)));
    } else if (mode == "spam" && argc > 2) {
        std::string block(static_cast<std::size_t>(std::atoi(argv[2])), 'x');
        std::fwrite(block.data(), 1, block.size(), stdout);
        std::fflush(stdout);
        std::fputs("ERR", stderr);
    } else if (mode == "stderr") {
        std::fputs("only-err", stderr);
    } else if (mode == "sleep" && argc > 2) {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    } else if (mode == "mark" && argc > 3) {
        touch(argv[2]);
        Sleep(static_cast<DWORD>(std::atoi(argv[3])));
        touch((std::string(argv[2]) + ".end").c_str());
    } else if (mode == "job") {
        BOOL in_job = FALSE;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job) {
            std::printf("none");
        } else if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                             sizeof limits, nullptr) &&
                   (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) !=
                       0) {
            std::printf("kill-on-close");
        } else {
            std::printf("job");
        }
    } else {
        return 2;
    }
    return 0;
}

// A stand-in for an external program (ping.exe, curl.exe) in the Windows black-box tests.
// Copied under the name of the program it replaces into a folder first on PATH. Every run
// appends one JSON line to "<name>_calls.jsonl" beside the executable with its argument vector,
// its working directory, its standard input and the content of every argument that names an
// existing file (with or without a leading '@'), since the caller deletes such files after the
// run. It also leaves its process id in "<name>.pid" beside it, written before it reads its
// standard input. Then it acts by its own name:
//   ping: prints reply lines and a summary when "ping_mode.txt" beside it is absent or says
//         "up", a timed-out run otherwise;
//   any other name: waits the milliseconds in "<name>_sleep.txt" beside it (none when absent),
//         then exits with the number in "<name>_exit.txt" beside it (0 when absent).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string read_file(const std::string& path, bool& found) {
    found = false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return {};
    found = true;
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string read_stdin() {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (in != nullptr && in != INVALID_HANDLE_VALUE &&
           ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    char exe[MAX_PATH * 4];
    DWORD size = GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string path(exe, size);
    std::size_t slash = path.find_last_of("\\/");
    std::string dir = path.substr(0, slash + 1);
    std::string name = path.substr(slash + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0)
        name.resize(name.size() - 4);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    if (std::FILE* pid = std::fopen((dir + name + ".pid").c_str(), "w")) {
        std::fprintf(pid, "%lu\n", GetCurrentProcessId());
        std::fclose(pid);
    }

    // The raw command line and the arguments the C runtime split from it.
    std::string record = "{\"cmdline\": " + json(GetCommandLineA()) + ", \"argv\": [";
    std::string files;
    for (int i = 1; i < argc; ++i) {
        record += (i > 1 ? ", " : "") + json(argv[i]);
        std::string file = argv[i][0] == '@' ? argv[i] + 1 : argv[i];
        bool found = false;
        std::string content = file.empty() ? std::string() : read_file(file, found);
        if (found)
            files += (files.empty() ? "" : ", ") + json(file) + ": " + json(content);
    }
    char cwd[MAX_PATH * 4];
    DWORD cwd_size = GetCurrentDirectoryA(sizeof cwd, cwd);
    record += "], \"cwd\": " + json(std::string(cwd, cwd_size));
    record += ", \"stdin\": " + json(read_stdin()) + ", \"files\": {" + files + "}}\n";
    if (std::FILE* log = std::fopen((dir + name + "_calls.jsonl").c_str(), "ab")) {
        std::fwrite(record.data(), 1, record.size(), log);
        std::fclose(log);
    }

    bool found = false;
    if (name == "ping") {
        std::string mode = read_file(dir + "ping_mode.txt", found);
        int count = 1;
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::string(argv[i]) == "-n")
                count = std::atoi(argv[i + 1]);
        }
        const char* host = argc > 1 ? argv[argc - 1] : "";
        std::printf("\r\nPinging %s with 32 bytes of data:\r\n", host);
        bool up = !found || mode.rfind("up", 0) == 0;
        for (int i = 0; i < count; ++i) {
            if (up)
                std::printf("Reply from %s: bytes=32 time<1ms TTL=64\r\n", host);
            else
                std::printf("Request timed out.\r\n");
        }
        std::printf("\r\nPing statistics for %s:\r\n", host);
        std::printf("    Packets: Sent = %d, Received = %d, Lost = %d\r\n", count, up ? count : 0,
                    up ? 0 : count);
        return up ? 0 : 1;
    }
    std::string pause = read_file(dir + name + "_sleep.txt", found);
    if (found)
        Sleep(static_cast<DWORD>(std::atoi(pause.c_str())));
    std::string code = read_file(dir + name + "_exit.txt", found);
    return found ? std::atoi(code.c_str()) : 0;
}

// The child program of the runner tests. The first argument picks what it does:
//   exit N      ends with exit code N
//   signal      ends itself with SIGTERM
//   spam N      writes N bytes to standard output in pieces, then exits with code 7
//   stderr      writes "only-err" to standard error only
//   stdin       copies its standard input to standard output, then prints "<eof>"
//   sleep MS    sleeps MS milliseconds
//   pid N       prints its process id and a line end, then N bytes, then exits with code 0
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::string mode = argv[1];
    if (mode == "exit" && argc > 2)
        return std::atoi(argv[2]);
    if (mode == "signal") {
        std::signal(SIGTERM, SIG_DFL);
        std::raise(SIGTERM);
        return 2;
    }
    if ((mode == "spam" || mode == "pid") && argc > 2) {
        if (mode == "pid") {
            // One write, so that the first read holds the whole line.
            std::string line = std::to_string(getpid()) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        long left = std::atol(argv[2]);
        std::string piece(1000, 'x');
        while (left > 0) {
            std::size_t n = left < 1000 ? static_cast<std::size_t>(left) : piece.size();
            std::fwrite(piece.data(), 1, n, stdout);
            std::fflush(stdout);
            left -= static_cast<long>(n);
        }
        return mode == "pid" ? 0 : 7;
    }
    if (mode == "stderr") {
        std::fputs("only-err", stderr);
        return 0;
    }
    if (mode == "stdin") {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
            std::fwrite(buffer, 1, n, stdout);
        std::fputs("<eof>", stdout);
        return 0;
    }
    if (mode == "sleep" && argc > 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[2])));
        return 0;
    }
    return 2;
}

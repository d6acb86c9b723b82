// A stand-in for the system ping that answers after a fixed delay chosen by the host, so a
// round's ideal duration is known exactly: each batch lasts as long as its slowest host.
//
// The host is the last argument; its last dotted number n picks the delay
//   HV_FAKE_PING_BASE_MS + ((n * 37) % 11) * HV_FAKE_PING_STEP_MS
// (defaults 300 and 70 ms). The reply count is the number after "-c" (1 when absent). The
// output imitates iputils' reply lines, which is all the probe reads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

long env_ms(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string host = argv[argc - 1];
    int count = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-c") == 0)
            count = std::atoi(argv[i + 1]);
    const std::size_t dot = host.rfind('.');
    const long n =
        std::strtol(host.c_str() + (dot == std::string::npos ? 0 : dot + 1), nullptr, 10);
    const long delay =
        env_ms("HV_FAKE_PING_BASE_MS", 300) + ((n * 37) % 11) * env_ms("HV_FAKE_PING_STEP_MS", 70);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::printf("PING %s (%s) 56(84) bytes of data.\n", host.c_str(), host.c_str());
    for (int i = 1; i <= count; ++i)
        std::printf("64 bytes from %s: icmp_seq=%d ttl=64 time=0.050 ms\n", host.c_str(), i);
    std::printf(
        "\n--- %s ping statistics ---\n%d packets transmitted, %d received, 0%% packet loss\n",
        host.c_str(), count, count);
    return 0;
}

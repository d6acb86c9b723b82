// Micro-benchmarks of the text routines that run on every line read, every ping and every
// send: the config line parser, the ping output counter, percent-encoding and JSON escaping.
#include <benchmark/benchmark.h>

#include <string>

#include "config/syntax.h"
#include "notify/text_encoding.h"
#include "probe/probes.h"

namespace {

// A typical host line, a long one with indentation and a trailing comment, and a disabled one.
const char* const kConfigLines[] = {
    "host : \"192.168.10.20\"\n",
    "   pinglossmsg   :   \"  The core switch in rack 4 stopped answering, call the on-call team  "
    "\"   # note\r\n",
    "* timeoutsec : \"5\"\n",
};

void BM_parse_config_line(benchmark::State& state) {
    const char* line = kConfigLines[state.range(0)];
    hv::ConfigKey key;
    hv::ConfigValue value;
    int disabled = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hv::parse_config_line(line, key, value, disabled));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_parse_config_line)->DenseRange(0, 2);

// iputils output for 3 replies, and a 100% loss summary that sends the counter down its
// fallback path of looking for "Received =".
const char kPingReplies[] =
    "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
    "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.041 ms\n"
    "64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.052 ms\n"
    "64 bytes from 127.0.0.1: icmp_seq=3 ttl=64 time=0.049 ms\n\n"
    "--- 127.0.0.1 ping statistics ---\n"
    "3 packets transmitted, 3 received, 0% packet loss, time 2030ms\n"
    "rtt min/avg/max/mdev = 0.041/0.047/0.052/0.004 ms\n";
const char kPingLoss[] =
    "PING 10.255.255.1 (10.255.255.1) 56(84) bytes of data.\n\n"
    "--- 10.255.255.1 ping statistics ---\n"
    "3 packets transmitted, 0 received, 100% packet loss, time 2047ms\n";

void BM_count_ping_replies(benchmark::State& state) {
    const std::string_view text = state.range(0) == 0 ? kPingReplies : kPingLoss;
    for (auto _ : state)
        benchmark::DoNotOptimize(hv::count_ping_replies(text, 3));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_count_ping_replies)->Arg(0)->Arg(1);

// An alert notice as it goes to Telegram: mostly plain, a few blanks and punctuation.
const char kNotice[] =
    "2026-12-10 03:45:12 Ping Timeout... core-switch-04.example.net received=0/3 count 3/3";

void BM_percent_encode(benchmark::State& state) {
    const std::string text(kNotice);
    for (auto _ : state)
        benchmark::DoNotOptimize(hv::percent_encode(text, hv::kTelegramTextRoom));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_percent_encode);

void BM_escape_json_text(benchmark::State& state) {
    // The Teams body: the notice with its line feed and a quoted custom message.
    const std::string text = std::string(kNotice) + " \"rack 4\" C:\\ups\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(hv::escape_json_text(text.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_escape_json_text);

}  // namespace

BENCHMARK_MAIN();

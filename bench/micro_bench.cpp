// Micro-benchmarks of the text routines that run on every line read, every ping and every
// send: the config line parser, the ping output counter, percent-encoding and JSON escaping.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/syntax.h"
#include "notify/text_encoding.h"
#include "probe/probes.h"
#include "report/report_view.h"

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

// What run mode adds to a 255-host round with `status_page` and `metrics_file` set: the view
// of every host, the page and the metrics rendered and both files written atomically (each
// flushed to the disk before its rename).
void BM_write_reports_255_hosts(benchmark::State& state) {
    hv::MonitorSettings settings;
    settings.host_count = hv::kMaxHosts;
    settings.instance_name.assign("bench");
    static hv::HostTable table;
    const std::int64_t now = 1'796'000'000;
    for (int i = 1; i <= hv::kMaxHosts; ++i) {
        hv::HostRecord& record = table.at(i);
        record.host.format("10.0.%d.%d", i / 256, i % 256);
        record.last_status.format("Ping OK %s received=3/3", record.host.c_str());
        record.state_since = now - 3600;
        record.last_check_time = now;
        for (int c = 0; c < 200; ++c)
            record.history.record(c % 17 != 0, hv::HostCondition::up, now - 86400 + c * 400);
        record.history.last_rtt_us = 400 + i;
    }
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "hv-bench-report";
    std::filesystem::create_directories(dir);
    const std::string page = (dir / "hostvigil_status.html").string();
    const std::string metrics = (dir / "hostvigil.prom").string();
    for (auto _ : state) {
        hv::ReportView view = hv::make_report_view(settings, table, now);
        benchmark::DoNotOptimize(
            hv::write_report_file(page.c_str(), hv::render_status_page(view, now)));
        benchmark::DoNotOptimize(hv::write_report_file(metrics.c_str(), hv::render_metrics(view)));
    }
    state.counters["page_bytes"] = static_cast<double>(std::filesystem::file_size(page));
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_write_reports_255_hosts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

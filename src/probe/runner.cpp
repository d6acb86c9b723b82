#include "probe/runner.h"

#include "platform/process.h"

namespace hv {
namespace {

// Keeps a read only while the kept text, the read and the terminator stay below the buffer's
// 8,192 bytes. Each read is judged on its own: after a dropped one, a shorter later read can
// still fit. The child is drained to its end either way.
void keep_chunk(void* context, const char* data, std::size_t size) {
    constexpr std::size_t kBufferBytes = CaptureText::kCapacity + 1;
    CaptureText& out = *static_cast<CaptureText*>(context);
    if (out.size() + size + 1 < kBufferBytes)
        out.append(std::string_view(data, size));
}

}  // namespace

int run_command(const std::vector<std::string>& argv, const std::string* stdin_text,
                int time_limit_ms) {
    platform::ChildRequest request;
    request.time_limit_ms = time_limit_ms;
    request.argv = argv;
    request.stdin_text = stdin_text;
    request.output = platform::ChildOutput::null_device;
    return platform::run_child(request);
}

int run_command_capture(const std::vector<std::string>& argv, CaptureText& out,
                        const std::string* stdin_text, int time_limit_ms, bool end_on_stop) {
    out.clear();
    platform::ChildRequest request;
    request.time_limit_ms = time_limit_ms;
    request.end_on_stop = end_on_stop;
    request.argv = argv;
    request.stdin_text = stdin_text;
    request.output = platform::ChildOutput::capture;
    request.sink = keep_chunk;
    request.sink_context = &out;
    return platform::run_child(request);
}

}  // namespace hv

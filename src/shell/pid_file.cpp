#include "shell/pid_file.h"

#include <chrono>
#include <thread>

namespace hv {

PidFileLook look_at_pid_file() {
    using State = platform::LockProbe::State;
    platform::LockProbe probe = platform::probe_lock_file(kPidFile);
    for (int i = 0;
         i < 50 && probe.state == State::locked && probe.recorded_pid == 0 && probe.holder_pid == 0;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        probe = platform::probe_lock_file(kPidFile);
    }
    PidFileLook look;
    look.state = probe.state;
    look.pid = probe.recorded_pid;
    // The kernel's word beats the file's: a file edited by hand cannot point -stop elsewhere.
    if (probe.state == State::locked && probe.holder_pid != 0)
        look.pid = probe.holder_pid;
    look.file_key = probe.file_key;
    return look;
}

}  // namespace hv

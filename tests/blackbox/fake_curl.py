"""A stand-in for curl in the black-box tests, put first on PATH by WorkDir.fake_curl().

Every run leaves one record in $HV_CURL_DIR, written whole (a temporary name, then a rename) so
that a test never reads half of one: "call-<start time in ns>-<pid>.json", holding the argument
vector, the working directory, the standard input, the content of every argument that names an
existing file (with or without a leading '@', as the caller deletes such files after the run)
and the process id. Names sort in the order the runs started.

Then it acts on two files of that directory: "seconds" (wait that long; none when absent) and
"exit" (the exit code; 0 when absent). "finished.<pid>" marks a run that got to its end.
"""

import json
import os
import sys
import time


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


def main():
    started = time.time_ns()
    folder = os.environ["HV_CURL_DIR"]
    args = sys.argv[1:]
    files = {}
    for arg in args:
        name = arg[1:] if arg.startswith("@") else arg
        if name and os.path.isfile(name):
            files[name] = read_text(name)
    record = {
        "argv": args,
        "cwd": os.getcwd(),
        "stdin": sys.stdin.buffer.read().decode("utf-8", "surrogateescape"),
        "files": files,
        "pid": os.getpid(),
    }
    base = os.path.join(folder, f"call-{started}-{os.getpid()}")
    with open(base + ".tmp", "w", encoding="utf-8") as f:
        json.dump(record, f)
    os.rename(base + ".tmp", base + ".json")

    control = os.path.join(folder, "seconds")
    if os.path.exists(control):
        time.sleep(float(read_text(control)))
    with open(os.path.join(folder, f"finished.{os.getpid()}"), "w"):
        pass
    control = os.path.join(folder, "exit")
    return int(read_text(control)) if os.path.exists(control) else 0


if __name__ == "__main__":
    sys.exit(main())

// The message and payload files that live for one send.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace hv {

/// A file in the working directory named "<stem>-<pid>-<n><extension>", with n counted per
/// process, created exclusively (owner-only on POSIX) in binary mode, so that no two sends of
/// any process share one. Deleted when the object goes, whatever happened in between.
class TransientFile {
  public:
    TransientFile(std::string_view stem, std::string_view extension);
    ~TransientFile();
    TransientFile(const TransientFile&) = delete;
    TransientFile& operator=(const TransientFile&) = delete;

    /// True when the file was created.
    bool created() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    /// The number of this send within the process, part of the name.
    unsigned sequence() const { return sequence_; }

    /// Writes `content` and closes the file; false when any of it failed.
    bool write_and_close(std::string_view content);

  private:
    std::string name_;
    unsigned sequence_ = 0;
    std::FILE* file_ = nullptr;
};

/// Deletes what processes that have ended (killed during a send) left behind in the working
/// directory: the regular files named like a TransientFile of a message or payload whose
/// process id names no running process. The files of other running processes (a `-test`) are
/// left alone. Files with this process's own id are taken for an earlier process's (ids are
/// reused, on Windows soon): call it before this process creates any. Returns how many were
/// deleted.
int sweep_transient_files();

}  // namespace hv

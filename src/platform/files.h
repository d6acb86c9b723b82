// File operations the standard library lacks or does differently on each system.
#pragma once

#include <cstdio>
#include <string_view>

namespace hv::platform {

/// Deletes the file; false when it did not exist or could not be deleted.
bool delete_file(const char* path);

/// Creates `path` for writing only if it does not exist yet (POSIX mode 0600). `text` opens it
/// in text mode (line feeds written as CR LF on Windows). Null when the file exists or cannot
/// be created. The caller closes the stream.
std::FILE* create_exclusive(const char* path, bool text);

/// Opens `path` for appending, created when missing (POSIX mode 0644, less the umask), in text
/// mode on Windows. The handle is not inherited by child processes, so a ping or curl started
/// by another thread meanwhile does not keep the file open. Null on failure.
std::FILE* open_append(const char* path);

/// Gives `from` the name `to` only when `to` does not exist, in one step. Sets `existed` when
/// it failed because `to` exists. `from` is gone after a success and kept after a failure.
bool publish_exclusive(const char* from, const char* to, bool& existed);

/// Renames `from` over `to` in one step, replacing `to` when it exists.
bool replace_file(const char* from, const char* to);

/// Replaces the content of the existing file `path` by `content` in one step: readers see the
/// old or the new content, never a part. A symbolic link is followed and the file it names is
/// rewritten in its own directory, so the link stays a link. The file keeps its owner, group
/// and permissions (POSIX) or its security descriptor and attributes (Windows), and the data
/// reaches the disk before the new content takes the name. False, with `path` untouched and
/// nothing left behind, when any step fails, among them keeping the owner.
bool rewrite_file(const char* path, std::string_view content);

/// Flushes `file`'s buffers and asks the system to put its content on the disk, so that a
/// rename that follows never publishes a file whose content a power loss could still take.
bool flush_to_disk(std::FILE* file);

/// Gives `to` the permission bits of `from` (POSIX); true on Windows, which keeps ACLs by name.
bool copy_permissions(const char* from, const char* to);

/// Replaces the file `path` with `data` so that a reader sees the old file or the new one,
/// never a part: the data goes to a new file beside it, is flushed to the disk and renamed
/// over `path` (POSIX mode 0644). Refuses, leaving everything as it was, when `path` names
/// a directory, a device, a symbolic link or anything else but a regular file.
bool write_file_atomically(const char* path, std::string_view data);

/// True when write_file_atomically could write `path` now: it is absent or a regular file,
/// and the directory it is in exists and takes new files.
bool can_write_file(const char* path);

}  // namespace hv::platform

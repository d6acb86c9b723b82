// File operations the standard library lacks or does differently on each system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
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

/// What read_regular_file found at a path.
enum class ReadOutcome {
    read,         ///< a regular file, read whole
    missing,      ///< nothing at the path
    directory,    ///< a directory
    link,         ///< a symbolic link (POSIX) or another reparse point (Windows): not followed
    not_regular,  ///< a pipe, a device, a socket
    unreadable,   ///< it could not be opened or read (permissions, an I/O error)
    too_large,    ///< longer than the limit
};

/// Reads the whole file `path` into `out` (empty unless `read`) only when it is a regular file
/// of at most `limit` bytes. A symbolic link is not followed, and a pipe or device is never
/// opened in a way that could block or disturb it: the type is looked at before opening, the
/// open does not wait, and the opened file must still be a regular file.
ReadOutcome read_regular_file(const char* path, std::size_t limit, std::string& out);

/// How replace_file_whole treats what is at the path now. Each file the program replaces has
/// one of these, chosen for what a user may have put there.
enum class ReplacePolicy {
    /// The file must exist, and may be reached through symbolic links: the file at the end of
    /// the chain is replaced in its own directory, so a link stays a link. The new file keeps
    /// the old one's owner, group and permissions (POSIX) or security descriptor and
    /// attributes (Windows); when the owner cannot be kept nothing is replaced. For the alert
    /// configuration, which a user may keep elsewhere and protect.
    keep_existing,
    /// The path may be missing; anything there but a regular file (a symbolic link, a
    /// directory, a device, a pipe) is refused and left alone. The new file is readable by
    /// everyone (POSIX mode 0644). For the status page and the metrics.
    regular_public,
    /// As regular_public, but the new file is readable by its owner only (POSIX mode 0600).
    /// For the state file, which holds the texts of notices not delivered yet.
    regular_private,
};

/// Replaces the file `path` with `content` so that a reader sees the old file or the new one,
/// never a part, also after a crash or a power loss: the content goes to a temporary file in
/// the same directory (see temporary_file_name), is flushed to the disk, renamed over the
/// target, and the directory holding the name is flushed too. False when any step fails or
/// `policy` refuses the target; the target is then as it was and the temporary file is gone.
/// On Windows a failed keep_existing replacement that took the old file away puts it back
/// (or, when it cannot, puts the new file in its place): the target is never left missing.
bool replace_file_whole(const char* path, std::string_view content, ReplacePolicy policy);

/// The name of a temporary file for replacing `target` in this process: `target` followed by
/// ".<pid>-<number>.tmp", the number counting up within the process, so that writers of the
/// same file in different processes or threads never pick the same name.
std::string temporary_file_name(const std::string& target, unsigned number);

/// Reads "<pid>-<number>" followed by `suffix` from the whole of `rest`, as the names of
/// temporary and transient files end; true with `pid` (never 0) set when `rest` is such a text.
bool parse_pid_tail(std::string_view rest, std::string_view suffix, std::uint32_t& pid);

/// Deletes the temporary files of replacing `path` (and, for a symbolic link, the file it
/// leads to) that were left behind by processes that no longer exist, as a crash leaves them.
/// A temporary of a live process, another instance's among them, is never touched, nor is
/// any other file. Returns how many were deleted.
int remove_stale_temporaries(const char* path);

/// True when replace_file_whole with a regular_* policy could write `path` now: it is absent or a
/// regular file, and the directory it is in exists and takes new files.
bool can_write_file(const char* path);

}  // namespace hv::platform

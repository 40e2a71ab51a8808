#pragma once

// Descriptor writes shared by the handlers and the AuditLog.
// Thread-safety: safe from any thread; callers serialise writes to one descriptor themselves.

#include <string>
#include <string_view>

namespace tolvan::logger::detail {

/// Writes all of `data` to `fd`, retrying after interruptions and short writes. Returns 0, or
/// the errno value of the failure. A reader that went away yields EPIPE, never a SIGPIPE that
/// would end the process.
int write_fully(int fd, std::string_view data) noexcept;

/// Appends `line` to the file `fd` (opened with O_APPEND) as write_fully does. When the write
/// fails part-way (a full file system takes only the start of a line), the file is cut back to
/// its length before the write, so a failed line does not stay as a fragment that the next line
/// would be glued to. Returns 0, or the errno value of the failed write.
int append_whole(int fd, std::string_view line) noexcept;

/// Opens `path` for appending (creating it, mode 0666 less the umask, close-on-exec). Returns
/// the descriptor, or -1 with errno set.
int open_append(const char* path) noexcept;

/// Prints `line` and "\n" on standard error, as one write.
void print_warning(std::string_view line) noexcept;

/// The operating system's description of an errno value.
std::string error_text(int error);

}  // namespace tolvan::logger::detail

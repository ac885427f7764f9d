// Small POSIX file helpers shared by every layer: path pieces, folders made on demand, whole reads
// and writes that survive signals, and the steps of replacing a file so that a crash leaves the old
// or the new one whole. They report through their result and errno only.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tavelo::posix {

// The folder holding path, without a trailing '/': "." for a bare name, "/" for a name in the root.
// Trailing '/' characters of path are ignored ("a/b/" is the folder b in a).
std::string FolderOf(const std::string& path);
// The last part of path (trailing '/' characters ignored); a bare name is itself.
std::string NameOf(const std::string& path);

// Makes folder and every missing folder above it (private, 0700). True when folder is a folder at
// the end, whoever made it.
bool MakeFolders(const std::string& folder);

// True when a name holds a NUL byte: the system would take the part before it as the name, so
// every routine that hands a name to the system refuses such a name.
bool NameHasNul(const std::string& name);
// Opens name as a regular file with open(2) flags (O_CLOEXEC added); a FIFO, device, socket or
// folder is refused without blocking (errno EINVAL), and so is a name holding a NUL. -1 on failure.
int OpenRegularFile(const std::string& name, int flags, mode_t createMode);

// Reads up to count bytes, again after an interrupting signal, until count or the end of the file;
// done receives what was read. False when a read failed (errno tells why).
bool ReadAll(int fd, void* buffer, size_t count, size_t& done);
// Writes all count bytes, again after an interrupting signal. False when a write failed (errno
// tells why; EIO when the system took nothing).
bool WriteAll(int fd, const void* buffer, size_t count);

// Flushes a folder's entries (names made, renamed or removed) to the disk; best effort.
void SyncFolder(const std::string& folder);
// Flushes the named file's data to the disk. False when it cannot be opened or flushed.
bool SyncFile(const std::string& name);
// Writes count bytes to a new temporary file, flushes it to the disk and closes it (always).
// False when any step failed (errno tells why).
bool WriteSyncClose(int fd, const void* buffer, size_t count);
// Renames a finished temporary file over target and flushes the folder, so the new name survives
// a crash. False when the rename failed (errno tells why); the temporary file is then left.
bool RenameSynced(const std::string& temp, const std::string& target);

}  // namespace tavelo::posix

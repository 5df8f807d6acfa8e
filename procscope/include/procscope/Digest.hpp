// The SHA-256 digest of an executed file, for whoever names programs by
// their content rather than by a name their user chooses. Hashing reads a
// whole file, so it happens only when asked for (wanted()), at most once per
// file content on local file systems, and never past kMaxBytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "procscope/FileDescriptor.hpp"

namespace procscope {
class ProcessIdentity;
}

namespace procscope::digest {

// Files larger than this are not hashed: a user can give the execute bit to
// a huge sparse file, and in deny mode its permission event comes before the
// kernel looks at its format. Such a file has no digest.
inline constexpr std::uint64_t kMaxBytes = std::uint64_t{256} * 1024 * 1024;
// Digests remembered, the oldest stored going first.
inline constexpr std::size_t kCapacity = 4096;

// Whether the records of starts get the digest of their executed file
// (Process::sha256). Off unless set: nothing is hashed then.
void setWanted(bool wanted);
bool wanted();

// `length` bytes of a digest as upper-case hexadecimal, the records' form.
std::string upperHex(const unsigned char* bytes, std::size_t length);

// The SHA-256 of the open regular file `fd`, upper-case hexadecimal (as
// sha256sum prints it, in upper case). With `local` (a file system that
// answers for itself, where an executed file cannot be written and every
// write moves the change time), a file hashed before with the same device,
// inode, size and change and modification times is not read again, unless
// it had changed within BinaryCache::kSettle of being hashed. None for
// anything but a regular file, a file past kMaxBytes, a read error, or a
// file that changed while it was read.
std::optional<std::string> ofOpenFile(int fd, bool local);

// The digest ofOpenFile(fd, true) would give from memory, without reading
// the file; none when it would read it.
std::optional<std::string> rememberedFor(int fd);

// The executable of process `pid`, open for reading, reached through
// /proc/<pid>/exe (so a memfd or a deleted file too); -1 when it cannot be
// opened, or when `identity` (where verifiable) no longer shows that process
// alive once it is, since the number may then name another one.
FileDescriptor openExecutable(std::int32_t pid, const ProcessIdentity* identity);

// Files read for a digest since the start, whole or in part.
std::uint64_t filesHashed();

}  // namespace procscope::digest

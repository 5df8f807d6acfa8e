// The block list: the entries of vornik.txt, read once before monitoring
// starts and only read afterwards.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace procblock {

using BlockList = std::vector<std::string>;

// Splits the file's bytes at every comma; empty pieces stay, nothing is
// trimmed. None when any byte is not 7-bit ASCII.
std::optional<BlockList> parseBlockList(std::string_view bytes);

// Reads and parses the file; none when it cannot be read, and then, when
// `whyNot` is given, the reason in a few words ("No such file or directory",
// "a directory", "not a regular file", "holds a byte that is not 7-bit
// ASCII"). Anything but a regular file (a FIFO, a device) is never opened.
std::optional<BlockList> readBlockList(const std::string& path, std::string* whyNot = nullptr);

// A warning for a list that anyone but root could change: the file, or a
// directory above it, owned by another user or writable by another user or
// group (a sticky directory of root's guards what root owns in it). Empty
// when only root can, or when there is no list.
std::string writableListWarning(const std::string& path);

// A warning for a list whose last entry ends in a line feed, as an editor
// saves a file: that entry then matches only a value ending in one. Empty
// when there is nothing to warn about; the list means what it says either way.
std::string trailingLineFeedWarning(const BlockList& list);

// "<directory>/vornik.txt".
std::string blockListPath(const std::string& directory);

// The process-wide list; null when absent. Set during start-up only.
std::shared_ptr<const BlockList> items();
void setItems(std::optional<BlockList> list);

// What "got items: %@" prints: the list's description, or "(null)".
std::string describeItems(const std::shared_ptr<const BlockList>& list);

}  // namespace procblock

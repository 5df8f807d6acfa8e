#include "procblock/BlockList.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "procscope/FileDescriptor.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock {
namespace {

std::atomic<std::shared_ptr<const BlockList>>& globalItems() {
  static std::atomic<std::shared_ptr<const BlockList>> instance;
  return instance;
}

}  // namespace

std::optional<BlockList> parseBlockList(std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c > 0x7F) return std::nullopt;  // not ASCII: the file counts as unreadable
  }
  BlockList entries;
  // Sized once: a list can hold a hundred thousand entries.
  entries.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), ',')) + 1);
  size_t start = 0;
  for (;;) {
    size_t comma = bytes.find(',', start);
    if (comma == std::string_view::npos) {
      entries.emplace_back(bytes.substr(start));
      return entries;
    }
    entries.emplace_back(bytes.substr(start, comma - start));
    start = comma + 1;
  }
}

std::optional<BlockList> readBlockList(const std::string& path, std::string* whyNot) {
  const auto fail = [whyNot](std::string reason) -> std::optional<BlockList> {
    if (whyNot) *whyNot = std::move(reason);
    return std::nullopt;
  };
  // Only a regular file is opened: a FIFO at the list's place would hold
  // start-up for good, a device could act on being opened.
  procscope::FileDescriptor located = procscope::locateRegularFile(path, true);
  if (located.get() < 0) {
    const int error = errno;
    if (error != EINVAL) return fail(std::strerror(error));
    struct stat st {};
    return fail(::fstatat(AT_FDCWD, path.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)
                    ? "a directory"
                    : "not a regular file");
  }
  procscope::FileDescriptor fd(
      ::open(procscope::descriptorPath(located.get()).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(std::strerror(errno));
  std::string bytes;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  auto list = parseBlockList(bytes);
  if (!list) return fail("holds a byte that is not 7-bit ASCII");
  return list;
}

std::string writableListWarning(const std::string& path) {
  // Who could change the item: its owner, where not root; its group, where
  // not root's and allowed to write; anyone, where allowed to write.
  const auto others = [](const struct stat& st) {
    return st.st_uid != 0 || ((st.st_mode & S_IWGRP) && st.st_gid != 0) || (st.st_mode & S_IWOTH);
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};  // no list: nothing to guard
  if (others(st)) {
    return "vornik.txt (" + procscope::visibleText(path) +
           ") can be changed by a user other than root";
  }
  // Each directory above: one writable by others lets them rename the list
  // or a directory between, and put their own in its place. A sticky one
  // (as /tmp) lets them touch only entries they own.
  bool childRootOwned = true;
  std::string dir = path;
  for (;;) {
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) {
      if (dir == ".") break;
      dir = ".";  // a relative path: its first directory is the working one
    } else {
      dir.resize(slash == 0 ? 1 : slash);
    }
    struct stat up {};
    if (::stat(dir.c_str(), &up) != 0) break;
    const bool stickyGuards = (up.st_mode & S_ISVTX) && up.st_uid == 0 && childRootOwned;
    if (others(up) && !stickyGuards) {
      return "the directory " + procscope::visibleText(dir) +
             " above vornik.txt can be changed by a user other than root, who could put "
             "another list in its place";
    }
    childRootOwned = up.st_uid == 0;
    if (dir == "/" || dir == ".") break;
  }
  return {};
}

std::string trailingLineFeedWarning(const BlockList& list) {
  if (list.empty() || !list.back().ends_with('\n')) return {};
  return "the last entry of vornik.txt ends in a line feed, so it matches only a value that "
         "ends in one; save the list without a final line feed to match the name alone";
}

std::string blockListPath(const std::string& directory) {
  return directory + "/vornik.txt";
}

std::shared_ptr<const BlockList> items() {
  return globalItems().load(std::memory_order_acquire);
}

void setItems(std::optional<BlockList> list) {
  std::shared_ptr<const BlockList> next;
  if (list) next = std::make_shared<const BlockList>(std::move(*list));
  globalItems().store(std::move(next), std::memory_order_release);
}

std::string describeItems(const std::shared_ptr<const BlockList>& list) {
  return list ? procscope::describe(*list) : "(null)";
}

}  // namespace procblock

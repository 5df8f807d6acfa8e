#include "procblock/BlockList.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  std::string bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {  // a directory, for instance
      const int error = errno;
      ::close(fd);
      return fail(error == EISDIR ? "a directory" : std::strerror(error));
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  auto list = parseBlockList(bytes);
  if (!list) return fail("holds a byte that is not 7-bit ASCII");
  return list;
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

// Test helpers: crafted argument areas and a kernel whose processes are
// whatever a test says they are.
#pragma once

#include <cstring>
#include <map>

#include "procscope/platform/Kernel.hpp"

namespace test {

inline std::string countBytes(std::int32_t argc) {
  std::string out(sizeof argc, '\0');
  std::memcpy(out.data(), &argc, sizeof argc);
  return out;
}

// argc, then `rest` verbatim (path, padding, strings: whatever the case needs).
inline std::string area(std::int32_t argc, std::string_view rest) {
  return countBytes(argc) + std::string(rest);
}

template <class K, class V>
std::optional<V> lookup(const std::map<K, V>& map, K key) {
  auto it = map.find(key);
  return it == map.end() ? std::nullopt : std::optional<V>(it->second);
}

struct FakeKernel : procscope::platform::KernelQueries {
  std::map<std::int32_t, std::int32_t> parents;
  std::map<std::int32_t, std::string> paths;
  std::map<std::int32_t, std::string> areas;
  std::int64_t areaMax = 1 << 20;

  std::int32_t parentID(std::int32_t pid) override { return lookup(parents, pid).value_or(-1); }
  std::optional<std::uint32_t> effectiveUser(std::int32_t) override { return 501; }
  std::optional<std::string> executablePath(std::int32_t pid) override {
    return lookup(paths, pid);
  }
  std::int64_t argumentAreaMax() override { return areaMax; }
  std::optional<std::string> argumentArea(std::int32_t pid, std::size_t capacity) override {
    auto area = lookup(areas, pid);
    if (area) area->resize(std::min(area->size(), capacity));
    return area;
  }
  bool isAlive(std::int32_t pid) override { return parents.count(pid) != 0; }
  std::vector<std::int32_t> allPids() override { return {}; }
};

}  // namespace test

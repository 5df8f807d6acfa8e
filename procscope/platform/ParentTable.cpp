#include "procscope/platform/ParentTable.hpp"

#include <pthread.h>

#include <algorithm>

namespace procscope::platform {

ParentTable& ParentTable::shared() {
  // The live reader is detached and may outlive statics.
  static ParentTable* table = [] {
    auto* t = new ParentTable();
    pthread_atfork(nullptr, nullptr, [] { shared().active_.store(false); });
    return t;
  }();
  return *table;
}

void ParentTable::start() {
  std::lock_guard lock(mu_);
  active_.store(true, std::memory_order_release);
}

void ParentTable::stop() {
  std::lock_guard lock(mu_);
  active_.store(false, std::memory_order_release);
  emptyLocked();
}

void ParentTable::noteLocked(Exit e) {
  recent_[epoch_ % kRecentExits] = e;
  ++epoch_;
}

void ParentTable::emptyLocked() {
  noteLocked(Exit{});
  parents_.clear();
  children_.clear();
}

void ParentTable::clear() {
  if (!active()) return;
  std::lock_guard lock(mu_);
  emptyLocked();
}

void ParentTable::unlinkLocked(std::int32_t child, std::int32_t parent) {
  auto it = children_.find(parent);
  if (it == children_.end()) return;
  auto& list = it->second;
  auto at = std::find(list.begin(), list.end(), child);
  if (at != list.end()) {
    *at = list.back();
    list.pop_back();
  }
  if (list.empty()) children_.erase(it);
}

void ParentTable::insertLocked(std::int32_t child, std::int32_t parent) {
  if (parents_.size() >= kCapacity) emptyLocked();
  parents_.emplace(child, parent);
  children_[parent].push_back(child);
}

void ParentTable::forked(std::int32_t child, std::int32_t parent) {
  if (!active()) return;
  std::lock_guard lock(mu_);
  // A number still listed belonged to a process whose exit the table has not
  // seen yet (it comes after its reaping, at times): that one is gone.
  eraseLocked(child);
  insertLocked(child, parent);
}

void ParentTable::eraseLocked(std::int32_t pid) {
  if (auto own = parents_.find(pid); own != parents_.end()) {
    unlinkLocked(pid, own->second);
    parents_.erase(own);
  }
}

void ParentTable::exited(std::int32_t pid, std::int32_t tgid) {
  if (!active()) return;
  std::lock_guard lock(mu_);
  noteLocked(Exit{pid, tgid});
  // /proc answers for a thread's own number too: one may have been learnt.
  eraseLocked(pid);
  eraseLocked(tgid);
  // Whether this thread was the group's last is not known here; forgetting
  // the children of a group that lives on only costs them a read of /proc.
  if (auto kids = children_.find(tgid); kids != children_.end()) {
    for (std::int32_t child : kids->second) parents_.erase(child);
    children_.erase(kids);
  }
}

std::optional<std::int32_t> ParentTable::parentOf(std::int32_t pid, std::uint64_t& epoch) const {
  if (!active()) return std::nullopt;
  std::lock_guard lock(mu_);
  epoch = epoch_;
  auto it = parents_.find(pid);
  if (it == parents_.end()) return std::nullopt;
  return it->second;
}

void ParentTable::learn(std::int32_t pid, std::int32_t parent, std::uint64_t epoch) {
  if (!active()) return;
  std::lock_guard lock(mu_);
  if (exitedSinceLocked(pid, parent, epoch) || parents_.contains(pid)) return;
  insertLocked(pid, parent);
}

bool ParentTable::exitedSinceLocked(std::int32_t pid, std::int32_t parent,
                                    std::uint64_t epoch) const {
  if (epoch > epoch_ || epoch_ - epoch > kRecentExits) return true;
  for (std::uint64_t n = epoch; n < epoch_; ++n) {
    const Exit& e = recent_[n % kRecentExits];
    // Any thread's end may be its group's last; /proc also answers for a
    // thread's own number.
    if (e.tgid == kEverything || e.tgid == pid || e.pid == pid || e.tgid == parent ||
        e.pid == parent) {
      return true;
    }
  }
  return false;
}

std::size_t ParentTable::size() const {
  std::lock_guard lock(mu_);
  return parents_.size();
}

}  // namespace procscope::platform

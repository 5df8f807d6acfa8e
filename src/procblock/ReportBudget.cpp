#include "procblock/ReportBudget.hpp"

#include <algorithm>

namespace procblock {

ReportBudget::Decision ReportBudget::admit(const Program& program, std::optional<std::uint32_t> uid,
                                           std::size_t bytes, Clock::time_point now) {
  std::lock_guard lock(mu_);
  if (refilled_) {
    const std::chrono::duration<double> elapsed = now - *refilled_;
    if (elapsed.count() > 0) {
      tokens_ = std::min(kBurstBytes, tokens_ + elapsed.count() * kBytesPerSecond);
    }
  }
  refilled_ = std::max(now, refilled_.value_or(now));

  const auto noticeKey = std::make_pair(uid.value_or(0xFFFFFFFFu), program.name);
  // A report larger than the whole burst would otherwise never be written.
  const double cost = std::min(static_cast<double>(bytes), kBurstBytes);
  Decision decision;
  if (tokens_ >= cost) {
    tokens_ -= cost;
    rememberNotice(noticeKey, now);
    return decision;
  }

  decision.report = false;
  Counted* counted = nullptr;
  if (auto found = counted_.find(program); found != counted_.end()) {
    counted = &found->second;
  } else if (counted_.size() < kMaxPrograms) {
    counted = &counted_.emplace(program, Counted{0, now}).first->second;
  } else {
    if (!others_) others_ = Counted{0, now};
    counted = &*others_;
  }
  ++counted->count;

  const auto last = noticed_.find(noticeKey);
  decision.notice = last == noticed_.end() || now - last->second >= kNoticeLifetime;
  // A notice that cannot be remembered (the table full of notices still on
  // screen) waits for the summary: otherwise each block would post one.
  if (decision.notice) decision.notice = rememberNotice(noticeKey, now);
  return decision;
}

bool ReportBudget::rememberNotice(const NoticeKey& key, Clock::time_point now) {
  if (auto found = noticed_.find(key); found != noticed_.end()) {
    found->second = now;
    return true;
  }
  if (noticed_.size() >= kMaxNoticed) {
    std::erase_if(noticed_,
                  [now](const auto& item) { return now - item.second >= kNoticeLifetime; });
    if (noticed_.size() >= kMaxNoticed) return false;
  }
  noticed_.emplace(key, now);
  return true;
}

std::vector<ReportBudget::Summary> ReportBudget::due(Clock::time_point now) {
  std::lock_guard lock(mu_);
  std::vector<Summary> out;
  for (auto it = counted_.begin(); it != counted_.end();) {
    if (now - it->second.since < kInterval) {
      ++it;
      continue;
    }
    out.push_back(Summary{it->first, it->second.count, it->second.since});
    it = counted_.erase(it);
  }
  if (others_ && now - others_->since >= kInterval) {
    out.push_back(Summary{std::nullopt, others_->count, others_->since});
    others_.reset();
  }
  return out;
}

std::optional<ReportBudget::Clock::time_point> ReportBudget::nextDue() const {
  std::lock_guard lock(mu_);
  std::optional<Clock::time_point> next;
  const auto consider = [&next](const Counted& counted) {
    const auto at = counted.since + kInterval;
    if (!next || at < *next) next = at;
  };
  for (const auto& [program, counted] : counted_) consider(counted);
  if (others_) consider(*others_);
  return next;
}

}  // namespace procblock

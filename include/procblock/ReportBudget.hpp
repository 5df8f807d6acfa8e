// How much the reports of blocks may write. A user can start a listed
// program thousands of times a second (an exec loop needs no fork), and each
// block writes a diagnostic line, an access-log row and a notice: without a
// bound that fills the disk, and no timer can be relied on to rotate the logs.
// So reports draw on a budget of bytes that refills at a steady rate. While
// it lasts every block is reported on its own; past it, blocks of one program
// are counted and reported once per interval as one summary, and its notices
// to one user go out at most once per notice lifetime. Every block is still
// killed or denied; only its report waits. Time is handed in, so that the
// rule is tested by counting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procblock/platform/Journal.hpp"

namespace procblock {

class ReportBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // A burst of about a hundred reports at once, then about 1 KiB/s.
  static constexpr double kBurstBytes = 64 * 1024;
  static constexpr double kBytesPerSecond = 1024;
  // Counted blocks of one program are summed up at most this often.
  static constexpr std::chrono::seconds kInterval{60};
  // A notice closes by itself after this; beyond the budget one user sees
  // at most one notice for one program at a time.
  static constexpr std::chrono::seconds kNoticeLifetime{10};
  // Programs counted one by one in an interval; blocks of any further ones
  // are counted together.
  static constexpr std::size_t kMaxPrograms = 32;
  // Users and programs whose last notice is remembered.
  static constexpr std::size_t kMaxNoticed = 1024;

  struct Program {
    std::optional<std::string> name;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> path;
    std::string entry;
    platform::BlockSource source = platform::BlockSource::Start;
    auto operator<=>(const Program&) const = default;
  };

  struct Decision {
    bool report = true;  // report this block on its own
    bool notice = true;  // post its notice (always so when reported)
  };
  // One block of `program`, run by `uid`, whose report would write about
  // `bytes`. A block not reported is counted towards its program's summary.
  Decision admit(const Program& program, std::optional<std::uint32_t> uid, std::size_t bytes,
                 Clock::time_point now);

  struct Summary {
    std::optional<Program> program;  // none: the blocks of programs past kMaxPrograms
    std::uint64_t count = 0;
    Clock::time_point since;  // the first block counted
  };
  // The summaries whose interval has ended by `now`; each is handed out once.
  std::vector<Summary> due(Clock::time_point now);
  // When the next summary falls due; none while nothing is counted.
  std::optional<Clock::time_point> nextDue() const;

 private:
  struct Counted {
    std::uint64_t count = 0;
    Clock::time_point since;
  };

  using NoticeKey = std::pair<std::uint32_t, std::optional<std::string>>;
  // Records a notice to one user for one program; false when the table is
  // full of notices still within their lifetime.
  bool rememberNotice(const NoticeKey& key, Clock::time_point now);

  mutable std::mutex mu_;
  double tokens_ = kBurstBytes;
  std::optional<Clock::time_point> refilled_;
  std::map<Program, Counted> counted_;
  std::optional<Counted> others_;
  std::map<NoticeKey, Clock::time_point> noticed_;
};

}  // namespace procblock

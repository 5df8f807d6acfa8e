// The notice layer: a fire-and-forget message to the logged-in user.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "procscope/platform/Service.hpp"

namespace procblock::platform {

enum class AlertLevel : std::uint32_t { Stop = 0, Note = 1, Caution = 2, Plain = 3 };

struct Notice {
  std::string header;
  std::string message;
  std::string defaultButton;
  std::chrono::seconds timeout{0};  // the notice closes by itself after this
  AlertLevel level = AlertLevel::Plain;
};

// The notice that tells the user a program was blocked.
Notice blockedNotice(const std::optional<std::string>& name);

class NoticeLayer {
 public:
  virtual ~NoticeLayer() = default;
  // Returns without waiting for the user; failures are not reported.
  virtual void post(const Notice& notice) = 0;
};

using Notices = procscope::platform::Service<NoticeLayer>;

// Writes each notice as one diagnostic line; for machines without a desktop.
std::shared_ptr<NoticeLayer> makeLogNoticeLayer();

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::NoticeLayer>
makeDefaultService<procblock::platform::NoticeLayer>();
}  // namespace procscope::platform

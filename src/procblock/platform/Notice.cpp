#include "procblock/platform/Notice.hpp"

#include "procblock/platform/DesktopNotice.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock::platform {
namespace {

// Where no one can be shown a notice, it becomes one diagnostic line.
class LogNoticeLayer final : public NoticeLayer {
 public:
  void post(const Notice& notice) override {
    procscope::logMessage("Notice (alert level " +
                          std::to_string(static_cast<std::uint32_t>(notice.level)) + ", " +
                          std::to_string(notice.timeout.count()) + " s, button \"" +
                          procscope::visibleText(notice.defaultButton) +
                          "\"): " + procscope::visibleText(notice.header) + " " +
                          procscope::visibleText(notice.message));
  }
};

}  // namespace

Notice blockedNotice(const std::optional<std::string>& name) {
  Notice notice;
  notice.header = "Application/Process is blocked!";
  notice.message = "The usage of the application/process in correlation with " +
                   procscope::orNull(name) + " has been blocked by your system administrator.";
  notice.defaultButton = "OK";
  notice.timeout = std::chrono::seconds(10);
  notice.level = AlertLevel::Note;
  return notice;
}

std::shared_ptr<NoticeLayer> makeLogNoticeLayer() {
  return std::make_shared<LogNoticeLayer>();
}

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::NoticeLayer>
makeDefaultService<procblock::platform::NoticeLayer>() {
  // Desktop notices where a login manager runs (people may log in later);
  // the diagnostic line otherwise, and for anyone not at a desktop.
  auto lines = procblock::platform::makeLogNoticeLayer();
  if (auto desktop = procblock::platform::makeDesktopNoticeLayerOrNull(lines)) return desktop;
  return lines;
}
}  // namespace procscope::platform

// The desktop backend of the notice layer: each notice goes to the
// freedesktop notification service (org.freedesktop.Notifications) on the
// session bus of every user who sits at a graphical session.
//
// The agent is root, but a session bus accepts only its own user, so every
// delivery runs in a short-lived child that drops to the user's uid and gid
// before it connects. A dedicated delivery thread does the work: post()
// only queues, and a delivery that takes longer than its limit is abandoned
// by killing the child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "procblock/platform/Notice.hpp"

namespace procblock::platform {

// One session bus to notify, and the identity to connect to it with.
struct DesktopTarget {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string busAddress;  // a D-Bus address, e.g. "unix:path=/run/user/1000/bus"
};

// Who should see a notice right now. Asked once per notice, so that users who
// log in after start-up are reached too.
using DesktopTargetSource = std::function<std::vector<DesktopTarget>()>;

// What the login manager says about one session.
struct LoginSession {
  uid_t uid = 0;
  bool active = false;
  std::optional<std::string> seat;
  std::string type;          // "x11", "wayland", "mir", "tty", ...
  std::string sessionClass;  // "user", "greeter", "lock-screen", "background"
};

// The users at a desktop: active user sessions that have a seat or a
// graphical type. Each uid once, in the order first seen.
std::vector<uid_t> selectDesktopUsers(const std::vector<LoginSession>& sessions);

// The sessions systemd-logind knows of; empty when it cannot be asked.
std::vector<LoginSession> readLoginSessions();

// The D-Bus address of a unix socket, with the path escaped as addresses require.
std::string unixBusAddress(std::string_view socketPath);

// Production target source: the desktop users with their primary group and
// the bus in their runtime directory, "/run/user/<uid>/bus".
std::vector<DesktopTarget> findDesktopTargets();

// Text for a place where the notification service reads markup: valid UTF-8,
// control characters made visible, and &, <, > escaped, so that a program's
// name is always shown literally and can never add markup or links.
std::string noticeMarkupText(std::string_view text);

class DesktopNoticeLayer final : public NoticeLayer {
 public:
  struct Limits {
    std::chrono::milliseconds delivery{1000};  // abandoned after this
    std::size_t pending = 256;                 // oldest dropped beyond this
  };

  // Notices for which the source yields nobody go to `whenNobody`; without
  // one, they become one diagnostic line each.
  DesktopNoticeLayer(DesktopTargetSource targets, std::shared_ptr<NoticeLayer> whenNobody,
                     Limits limits);
  DesktopNoticeLayer(DesktopTargetSource targets, std::shared_ptr<NoticeLayer> whenNobody)
      : DesktopNoticeLayer(std::move(targets), std::move(whenNobody), Limits{}) {}
  // Waits for the delivery under way (at most its limit); drops the rest.
  ~DesktopNoticeLayer() override;
  DesktopNoticeLayer(const DesktopNoticeLayer&) = delete;
  DesktopNoticeLayer& operator=(const DesktopNoticeLayer&) = delete;

  void post(const Notice& notice) override;

 private:
  void run();
  void deliver(const Notice& notice);

  DesktopTargetSource targets_;
  std::shared_ptr<NoticeLayer> whenNobody_;
  Limits limits_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Notice> queue_;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
  std::thread worker_;  // last: starts once everything above exists
};

// The desktop layer when this machine runs a login manager (systemd-logind),
// else null. It is chosen even while nobody is logged in, because the agent
// usually starts before anyone does; until then notices go to `whenNobody`.
std::shared_ptr<NoticeLayer> makeDesktopNoticeLayerOrNull(std::shared_ptr<NoticeLayer> whenNobody);

}  // namespace procblock::platform

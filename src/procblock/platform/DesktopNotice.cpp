#include "procblock/platform/DesktopNotice.hpp"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "procscope/Log.hpp"
#include "procscope/Utf8.hpp"

namespace procblock::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How one delivery ended. The first values travel from the delivery child to
// the agent as its exit status; the rest only the agent can see.
enum class Delivery : int {
  Shown = 0,
  IdentityRefused = 70,
  BusUnreachable = 71,
  BusRefused = 72,
  NoService = 73,
  ServiceRefused = 74,
  TimedOut = 75,
  Abandoned = 100,
  NotStarted = 101,
  Lost = 102,
};

// The arguments of one Notify call, prepared before the child exists so that
// the child only reads memory.
struct NotifyCall {
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  std::uint8_t urgency = 1;
  std::int32_t expireTimeoutMs = 0;
};

constexpr const char* kAppName = "procblock";
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kObject = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

std::string plainText(std::string_view text) {
  return procscope::visibleText(procscope::decodeLossy(text));
}

NotifyCall notifyCallFor(const Notice& notice) {
  NotifyCall call;
  // The summary is plain text to the service; only the body is markup.
  call.summary = plainText(notice.header);
  call.body = noticeMarkupText(notice.message);
  // Servers take the key "default" for a click on the notice itself and
  // draw no button for it: the button gets a key of its own.
  if (!notice.defaultButton.empty()) call.actions = {"ok", plainText(notice.defaultButton)};
  // Urgency: 1 normal, 2 critical. Critical notices never close by themselves.
  call.urgency = notice.level == AlertLevel::Stop ? 2 : 1;
  const auto ms = std::chrono::duration_cast<milliseconds>(notice.timeout).count();
  call.expireTimeoutMs = static_cast<std::int32_t>(std::clamp<long long>(ms, 0, INT32_MAX));
  return call;
}

// ---- in the delivery child ----------------------------------------------

void closeInheritedDescriptors() {
  if (close_range(3, ~0U, 0) == 0) return;
  rlimit files{};
  const rlim_t top = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                         ? std::min<rlim_t>(files.rlim_cur, 65536)
                         : 65536;
  for (rlim_t fd = 3; fd < top; ++fd) close(static_cast<int>(fd));
}

// Becomes the user for good: supplementary groups, then group, then user (a
// process that is no longer root could not change its groups), each checked.
bool takeIdentity(uid_t uid, gid_t gid) {
  if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return false;
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0) return false;
  if (ruid != uid || euid != uid || suid != uid) return false;
  if (rgid != gid || egid != gid || sgid != gid) return false;
  // Root must be out of reach, not merely set aside.
  return uid == 0 || setuid(0) != 0;
}

Delivery notifyOnBus(const char* address, const NotifyCall& call, milliseconds limit) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return Delivery::BusUnreachable;
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(raw, sd_bus_flush_close_unref);
  if (sd_bus_set_address(raw, address) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
      sd_bus_start(raw) < 0) {
    return Delivery::BusUnreachable;
  }

  sd_bus_message* rawMessage = nullptr;
  if (sd_bus_message_new_method_call(raw, &rawMessage, kService, kObject, kInterface, "Notify") <
      0) {
    return Delivery::BusRefused;
  }
  std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> message(rawMessage,
                                                                           sd_bus_message_unref);
  bool built = sd_bus_message_append(rawMessage, "susss", kAppName, 0u, "", call.summary.c_str(),
                                     call.body.c_str()) >= 0 &&
               sd_bus_message_open_container(rawMessage, 'a', "s") >= 0;
  for (const auto& action : call.actions)
    built = built && sd_bus_message_append_basic(rawMessage, 's', action.c_str()) >= 0;
  built = built && sd_bus_message_close_container(rawMessage) >= 0 &&
          sd_bus_message_append(rawMessage, "a{sv}", 1, "urgency", "y", call.urgency) >= 0 &&
          sd_bus_message_append(rawMessage, "i", call.expireTimeoutMs) >= 0;
  if (!built) return Delivery::ServiceRefused;

  sd_bus_error error = SD_BUS_ERROR_NULL;
  const auto usec = static_cast<std::uint64_t>(limit.count()) * 1000;
  const int r = sd_bus_call(raw, rawMessage, usec, &error, nullptr);
  Delivery result = Delivery::Shown;
  if (r < 0) {
    const std::string_view name = error.name ? error.name : "";
    if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                               SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
      result = Delivery::NoService;
    } else if (r == -ETIMEDOUT) {
      result = Delivery::TimedOut;
    } else if (name.empty() || name.starts_with("System.Error.")) {
      // A local failure: the bus closed on us, most likely at authentication.
      result = Delivery::BusRefused;
    } else {
      result = Delivery::ServiceRefused;
    }
  }
  sd_bus_error_free(&error);
  return result;
}

// Runs in the forked child. Nothing of root's may reach the user: no core
// file, no ptrace (non-dumpable), no descriptor the agent had open.
Delivery notifyAsUser(const DesktopTarget& target, const NotifyCall& call, milliseconds limit) {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  closeInheritedDescriptors();
  if (!takeIdentity(target.uid, target.gid)) return Delivery::IdentityRefused;
  // Set after the identity change, which clears it: the child dies with the agent.
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  return notifyOnBus(target.busAddress.c_str(), call, limit);
}

// ---- in the agent -----------------------------------------------------------

Delivery fromWaitStatus(int status) {
  if (!WIFEXITED(status)) return Delivery::Lost;
  switch (static_cast<Delivery>(WEXITSTATUS(status))) {
    case Delivery::Shown:
    case Delivery::IdentityRefused:
    case Delivery::BusUnreachable:
    case Delivery::BusRefused:
    case Delivery::NoService:
    case Delivery::ServiceRefused:
    case Delivery::TimedOut:
      return static_cast<Delivery>(WEXITSTATUS(status));
    default:
      return Delivery::Lost;
  }
}

// Waits for the child until the deadline, then kills it; always reaps it.
Delivery awaitChild(pid_t pid, Clock::time_point deadline) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  Delivery result = Delivery::Lost;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result = fromWaitStatus(status);
      break;
    }
    if (done < 0 && errno != EINTR) break;  // reaped by someone else
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      // Not yet reaped, so the pid is still this child's.
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      result = killed ? Delivery::Abandoned : fromWaitStatus(status);
      break;
    }
    if (pidfd >= 0) {
      pollfd ended{pidfd, POLLIN, 0};
      poll(&ended, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::min(left, milliseconds(10)));
    }
  }
  if (pidfd >= 0) close(pidfd);
  return result;
}

std::string reasonFor(Delivery delivery, const DesktopTarget& target, milliseconds limit) {
  switch (delivery) {
    case Delivery::Shown:
      return "shown";
    case Delivery::IdentityRefused:
      return "could not take the user's identity";
    case Delivery::BusUnreachable:
      return "no session bus at " + procscope::visibleText(target.busAddress);
    case Delivery::BusRefused:
      return "the session bus refused the connection";
    case Delivery::NoService:
      return "no notification service on the session bus";
    case Delivery::ServiceRefused:
      return "the notification service refused it";
    case Delivery::TimedOut:
    case Delivery::Abandoned:
      return "no answer within " + std::to_string(limit.count()) + " ms, abandoned";
    case Delivery::NotStarted:
      return "could not start the delivery process";
    case Delivery::Lost:
      break;
  }
  return "the delivery process ended without a result";
}

void reportFailure(Delivery delivery, const DesktopTarget& target, milliseconds limit) {
  procscope::logMessage("Desktop notice for uid " + std::to_string(target.uid) +
                        " not shown: " + reasonFor(delivery, target, limit));
}

std::optional<std::string> sessionText(int (*query)(const char*, char**), const char* session) {
  char* value = nullptr;
  if (query(session, &value) < 0 || value == nullptr) return std::nullopt;
  std::string text(value);
  std::free(value);
  return text;
}

std::optional<gid_t> primaryGroupOf(uid_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int r = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (r == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (r != 0 || found == nullptr) return std::nullopt;
    return entry.pw_gid;
  }
}

}  // namespace

std::vector<uid_t> selectDesktopUsers(const std::vector<LoginSession>& sessions) {
  std::vector<uid_t> users;
  for (const auto& s : sessions) {
    const bool graphical = s.type == "x11" || s.type == "wayland" || s.type == "mir";
    if (!s.active || s.sessionClass != "user" || !(s.seat || graphical)) continue;
    if (std::find(users.begin(), users.end(), s.uid) == users.end()) users.push_back(s.uid);
  }
  return users;
}

std::vector<LoginSession> readLoginSessions() {
  std::vector<LoginSession> sessions;
  char** ids = nullptr;
  if (sd_get_sessions(&ids) < 0 || ids == nullptr) return sessions;
  for (char** id = ids; *id != nullptr; ++id) {
    LoginSession s;
    if (sd_session_get_uid(*id, &s.uid) >= 0) {
      s.active = sd_session_is_active(*id) > 0;
      s.seat = sessionText(sd_session_get_seat, *id);
      s.type = sessionText(sd_session_get_type, *id).value_or("");
      s.sessionClass = sessionText(sd_session_get_class, *id).value_or("");
      sessions.push_back(std::move(s));
    }
    std::free(*id);
  }
  std::free(ids);
  return sessions;
}

std::string unixBusAddress(std::string_view socketPath) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string address = "unix:path=";
  for (unsigned char c : socketPath) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '_' || c == '/' || c == '.' || c == '*';
    if (plain) {
      address += static_cast<char>(c);
    } else {
      address += '%';
      address += kHex[c >> 4];
      address += kHex[c & 0xF];
    }
  }
  return address;
}

std::vector<DesktopTarget> findDesktopTargets() {
  std::vector<DesktopTarget> targets;
  for (uid_t uid : selectDesktopUsers(readLoginSessions())) {
    const auto gid = primaryGroupOf(uid);
    if (!gid) {
      procscope::logMessage("Desktop notice for uid " + std::to_string(uid) +
                            " not shown: the user has no account entry");
      continue;
    }
    targets.push_back({uid, *gid, unixBusAddress("/run/user/" + std::to_string(uid) + "/bus")});
  }
  return targets;
}

std::string noticeMarkupText(std::string_view text) {
  const std::string plain = plainText(text);
  std::string out;
  out.reserve(plain.size());
  for (char c : plain) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

DesktopNoticeLayer::DesktopNoticeLayer(DesktopTargetSource targets,
                                       std::shared_ptr<NoticeLayer> whenNobody, Limits limits)
    : targets_(std::move(targets)),
      whenNobody_(std::move(whenNobody)),
      limits_{limits.delivery, std::max<std::size_t>(limits.pending, 1)},
      worker_([this] { run(); }) {}

DesktopNoticeLayer::~DesktopNoticeLayer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void DesktopNoticeLayer::post(const Notice& notice) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(notice);
    while (queue_.size() > limits_.pending) {
      queue_.pop_front();
      ++dropped_;
    }
  }
  wake_.notify_one();
}

void DesktopNoticeLayer::run() {
  for (;;) {
    Notice notice;
    std::size_t dropped = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      notice = std::move(queue_.front());
      queue_.pop_front();
      dropped = std::exchange(dropped_, 0);
    }
    if (dropped > 0) {
      procscope::logMessage("Dropped " + std::to_string(dropped) +
                            " desktop notices waiting for delivery (more than " +
                            std::to_string(limits_.pending) + " waiting)");
    }
    deliver(notice);
  }
}

void DesktopNoticeLayer::deliver(const Notice& notice) {
  const std::vector<DesktopTarget> targets = targets_ ? targets_() : std::vector<DesktopTarget>{};
  if (targets.empty()) {
    if (whenNobody_) {
      whenNobody_->post(notice);
    } else {
      procscope::logMessage("Desktop notice not shown, no graphical session: " +
                            plainText(notice.header) + " " + plainText(notice.message));
    }
    return;
  }

  const NotifyCall call = notifyCallFor(notice);
  const auto deadline = Clock::now() + limits_.delivery;
  std::vector<std::pair<pid_t, const DesktopTarget*>> children;
  for (const auto& target : targets) {
    const pid_t pid = fork();
    if (pid == 0) _exit(static_cast<int>(notifyAsUser(target, call, limits_.delivery)));
    if (pid < 0) {
      reportFailure(Delivery::NotStarted, target, limits_.delivery);
    } else {
      children.emplace_back(pid, &target);
    }
  }
  // One deadline for all: the children run side by side.
  for (const auto& [pid, target] : children) {
    const Delivery delivery = awaitChild(pid, deadline);
    if (delivery != Delivery::Shown) reportFailure(delivery, *target, limits_.delivery);
  }
}

std::shared_ptr<NoticeLayer> makeDesktopNoticeLayerOrNull(std::shared_ptr<NoticeLayer> whenNobody) {
  // The directory systemd-logind keeps while it runs: without it there are no
  // sessions to find.
  if (access("/run/systemd/seats/", F_OK) != 0) return nullptr;
  return std::make_shared<DesktopNoticeLayer>(findDesktopTargets, std::move(whenNobody));
}

}  // namespace procblock::platform

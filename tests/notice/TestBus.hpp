// A private session bus (a real dbus-daemon on a socket in a temporary
// directory) and a notification service on it that records every Notify call.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class PrivateBus {
 public:
  // address() is empty when the daemon did not come up. The bus has no
  // service directories: nothing is started on demand, so a missing server
  // stays missing.
  PrivateBus() {
    char dir[] = "/tmp/procblock-notice-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    directory_ = dir;
    const std::string config = directory_ + "/bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << directory_
                          << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    int ready[2];
    if (::pipe(ready) != 0) return;
    const std::string configArg = "--config-file=" + config;
    const std::string printArg = "--print-address=" + std::to_string(ready[1]);
    const std::string logPath = directory_ + "/daemon.log";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ::dup2(log, STDOUT_FILENO);
      ::dup2(log, STDERR_FILENO);
      ::execlp("dbus-daemon", "dbus-daemon", "--nofork", configArg.c_str(), printArg.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(ready[1]);
    // The daemon prints its address once it accepts connections.
    std::string line;
    pollfd readable{ready[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && !line.ends_with('\n') && ::poll(&readable, 1, 10000) > 0 &&
           ::read(ready[0], &c, 1) == 1) {
      line += c;
    }
    ::close(ready[0]);
    if (line.ends_with('\n')) address_ = line.substr(0, line.size() - 1);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);  // our own child
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  const std::string& directory() const { return directory_; }
  std::string log() const {  // what the daemon wrote
    std::ifstream in(directory_ + "/daemon.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string directory_;
  std::string address_;
  pid_t pid_ = -1;
};

struct Hint {
  std::string key;
  std::string signature;  // of the variant's contents
  std::uint8_t byte = 0;  // the value when the signature is "y"
  bool operator==(const Hint&) const = default;
};

struct NotifyCallRecord {
  std::string appName;
  std::uint32_t replacesId = 0;
  std::string icon, summary, body;
  std::vector<std::string> actions;
  std::vector<Hint> hints;
  std::int32_t expireTimeout = 0;
};

// Owns org.freedesktop.Notifications on the bus once constructed; ready()
// tells whether that worked. Answers each call, or (Never) holds it
// unanswered so that the caller waits until it gives up.
class NotificationServer {
 public:
  enum class Answer { Reply, Never };

  NotificationServer(const std::string& address, Answer answer) : answer_(answer) {
    static const sd_bus_vtable kNotifications[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &NotificationServer::onNotify, 0),
        SD_BUS_VTABLE_END,
    };
    ready_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
             sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
             sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", kNotifications, this) >= 0 &&
             sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0;
    if (ready_)
      thread_ = std::thread([this] {
        for (int r = 0; !stop_ && r >= 0;) {
          r = sd_bus_process(bus_, nullptr);
          if (r == 0) sd_bus_wait(bus_, 50'000);
        }
      });
  }
  ~NotificationServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (sd_bus_message* m : unanswered_) sd_bus_message_unref(m);
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
  }
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  bool ready() const { return ready_; }
  // The calls so far, once at least `count` have arrived or 5 seconds passed.
  std::vector<NotifyCallRecord> waitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_.size() >= count; });
    return calls_;
  }

 private:
  static int onNotify(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* server = static_cast<NotificationServer*>(self);
    NotifyCallRecord call;
    const char *app, *icon, *summary, *body;
    int r = sd_bus_message_read(m, "susss", &app, &call.replacesId, &icon, &summary, &body);
    if (r < 0) return r;
    call.appName = app;
    call.icon = icon;
    call.summary = summary;
    call.body = body;
    char** actions = nullptr;
    if ((r = sd_bus_message_read_strv(m, &actions)) < 0) return r;
    for (char** a = actions; a && *a; ++a) {
      call.actions.emplace_back(*a);
      free(*a);
    }
    free(actions);
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
      Hint hint;
      const char *key, *contents;
      if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
      if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
      hint.key = key;
      hint.signature = contents;
      r = hint.signature == "y" ? sd_bus_message_read(m, "v", "y", &hint.byte)
                                : sd_bus_message_skip(m, "v");
      if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
      call.hints.push_back(hint);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_read(m, "i", &call.expireTimeout)) < 0) return r;
    std::size_t count;
    {
      std::lock_guard lock(server->mutex_);
      server->calls_.push_back(std::move(call));
      count = server->calls_.size();
    }
    server->arrived_.notify_all();
    if (server->answer_ == Answer::Never) {
      server->unanswered_.push_back(sd_bus_message_ref(m));
      return 1;
    }
    return sd_bus_reply_method_return(m, "u", static_cast<std::uint32_t>(count));
  }

  Answer answer_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<NotifyCallRecord> calls_;
  std::vector<sd_bus_message*> unanswered_;
  std::thread thread_;
};

}  // namespace test

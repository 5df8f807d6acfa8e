#include "notice/TestBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace test {

// No service directories: nothing on this bus is ever started on demand, so
// a missing server stays missing.
static std::string busConfig(const std::string& socket) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" +
         socket +
         "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\"/>\n"
         "    <allow receive_sender=\"*\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

PrivateBus::PrivateBus() {
  char dir[] = "/tmp/procblock-notice-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  directory_ = dir;
  const std::string config = directory_ + "/bus.conf";
  std::ofstream(config) << busConfig(directory_ + "/bus");

  int ready[2];
  if (pipe(ready) != 0) return;
  const std::string configArg = "--config-file=" + config;
  const std::string logPath = directory_ + "/daemon.log";
  const std::string printArg = "--print-address=" + std::to_string(ready[1]);
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    execlp("dbus-daemon", "dbus-daemon", "--nofork", configArg.c_str(), printArg.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  // The daemon prints its address once it accepts connections.
  std::string line;
  pollfd readable{ready[0], POLLIN, 0};
  char c;
  while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&readable, 1, 10000) > 0 &&
         read(ready[0], &c, 1) == 1) {
    line += c;
  }
  close(ready[0]);
  if (line.ends_with('\n')) address_ = line.substr(0, line.size() - 1);
}

std::string PrivateBus::log() const {
  std::ifstream in(directory_ + "/daemon.log");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

NotificationServer::NotificationServer(const std::string& address, Answer answer)
    : answer_(answer) {
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
  if (ready_) thread_ = std::thread([this] { serve(); });
}

NotificationServer::~NotificationServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (sd_bus_message* m : unanswered_) sd_bus_message_unref(m);
  sd_bus_slot_unref(slot_);
  sd_bus_flush_close_unref(bus_);
}

std::vector<NotifyCallRecord> NotificationServer::waitForCalls(std::size_t count) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_.size() >= count; });
  return calls_;
}

void NotificationServer::serve() {
  while (!stop_) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) break;
    if (r == 0) sd_bus_wait(bus_, 50'000);
  }
}

int NotificationServer::onNotify(sd_bus_message* m, void* self, sd_bus_error*) {
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
    const char* key;
    const char* contents;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
    hint.key = key;
    hint.signature = contents;
    if (hint.signature == "y") {
      r = sd_bus_message_read(m, "v", "y", &hint.byte);
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    call.hints.push_back(hint);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  if ((r = sd_bus_message_read(m, "i", &call.expireTimeout)) < 0) return r;
  {
    std::lock_guard lock(server->mutex_);
    server->calls_.push_back(std::move(call));
  }
  server->arrived_.notify_all();
  if (server->answer_ == Answer::Never) {
    // Held, never answered: the caller waits until it gives up.
    server->unanswered_.push_back(sd_bus_message_ref(m));
    return 1;
  }
  return sd_bus_reply_method_return(m, "u", static_cast<std::uint32_t>(server->calls_.size()));
}

}  // namespace test

// A private session bus (a real dbus-daemon on a socket in a temporary
// directory) and a notification service on it that records every Notify call.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class PrivateBus {
 public:
  PrivateBus();  // address() is empty when the daemon did not come up
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  const std::string& directory() const { return directory_; }
  std::string log() const;  // what the daemon wrote

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
  std::string icon;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  std::vector<Hint> hints;
  std::int32_t expireTimeout = 0;
};

class NotificationServer {
 public:
  enum class Answer { Reply, Never };

  // Owns org.freedesktop.Notifications on the bus once constructed; ready()
  // tells whether that worked.
  NotificationServer(const std::string& address, Answer answer);
  ~NotificationServer();
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  bool ready() const { return ready_; }
  // The calls so far, once at least `count` have arrived or 5 seconds passed.
  std::vector<NotifyCallRecord> waitForCalls(std::size_t count);

 private:
  static int onNotify(sd_bus_message* message, void* self, sd_bus_error* error);
  void serve();

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

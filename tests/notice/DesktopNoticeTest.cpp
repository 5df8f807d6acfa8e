// The desktop notice layer against a real dbus-daemon and a notification
// service owned by the test.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "notice/TestBus.hpp"
#include "procblock/platform/DesktopNotice.hpp"
#include "support/Capture.hpp"

namespace procblock::platform {
namespace {

using namespace std::chrono_literals;
using test::NotificationServer;

// The agent's own notice, so that what reaches the bus is checked end to end.
Notice blocked(const std::string& name) {
  return blockedNotice(name);
}

// Waits up to 5 seconds for the text to appear on the captured stderr.
std::string waitForLine(test::StderrCapture& capture, const std::string& text) {
  const auto until = std::chrono::steady_clock::now() + 5s;
  std::string out = capture.take();
  while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(20ms);
    out = capture.take();
  }
  return out;
}

std::size_t linesWith(const std::string& out, const std::string& text) {
  std::istringstream lines(out);
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(text) != std::string::npos;
  return n;
}

// Children of this process that ended but were never reaped.
int zombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string all;
    if (!std::getline(stat, all) || all.rfind(')') == std::string::npos) continue;
    std::istringstream rest(all.substr(all.rfind(')') + 1));
    char state;
    pid_t parent;
    if (rest >> state >> parent && parent == getpid() && state == 'Z') ++zombies;
  }
  if (proc) closedir(proc);
  return zombies;
}

class RecordingLayer : public NoticeLayer {
 public:
  void post(const Notice& notice) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(notice.message);
  }
  std::vector<std::string> waitFor(std::size_t count) {
    for (int i = 0; i < 250 && posted().size() < count; ++i) std::this_thread::sleep_for(20ms);
    return posted();
  }
  std::vector<std::string> posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> posted_;
};

class DesktopNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "changing identity needs root";
    ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start: " << bus_.log();
  }
  DesktopTargetSource ownBus(int copies = 1) const {
    std::vector<DesktopTarget> targets(copies, DesktopTarget{getuid(), getgid(), bus_.address()});
    return [targets] { return targets; };
  }

  test::PrivateBus bus_;
};

TEST_F(DesktopNoticeTest, CallsNotifyWithTheNoticeByteForByte) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Reply);
  ASSERT_TRUE(server.ready());
  DesktopNoticeLayer layer(ownBus(), nullptr);
  layer.post(blocked("Firefox"));

  const auto calls = server.waitForCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  const auto& call = calls[0];
  EXPECT_EQ(call.appName, "procblock");
  EXPECT_EQ(call.replacesId, 0u);
  EXPECT_EQ(call.icon, "");
  EXPECT_EQ(call.summary, "Application/Process is blocked!");
  EXPECT_EQ(call.body,
            "The usage of the application/process in correlation with Firefox has been blocked "
            "by your system administrator.");
  EXPECT_EQ(call.actions, (std::vector<std::string>{"default", "OK"}));
  EXPECT_EQ(call.hints, (std::vector<test::Hint>{{"urgency", "y", 1}}));
  EXPECT_EQ(call.expireTimeout, 10000);
}

TEST_F(DesktopNoticeTest, ProgramNameCannotAddMarkup) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Reply);
  ASSERT_TRUE(server.ready());
  DesktopNoticeLayer layer(ownBus(), nullptr);
  layer.post(blocked("<b>x</b> & <a href=\"http://e/\">y</a>"));

  const auto calls = server.waitForCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].body,
            "The usage of the application/process in correlation with &lt;b&gt;x&lt;/b&gt; &amp; "
            "&lt;a href=\"http://e/\"&gt;y&lt;/a&gt; has been blocked by your system "
            "administrator.");
}

TEST_F(DesktopNoticeTest, EveryTargetGetsItsOwnNotice) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Reply);
  ASSERT_TRUE(server.ready());
  DesktopNoticeLayer layer(ownBus(2), nullptr);
  layer.post(blocked("x"));
  EXPECT_EQ(server.waitForCalls(2).size(), 2u);
}

TEST_F(DesktopNoticeTest, SilentServerNeitherHoldsTheCallerNorTheNextNotice) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Never);
  ASSERT_TRUE(server.ready());
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer(ownBus(), nullptr);
    const auto start = std::chrono::steady_clock::now();
    layer.post(blocked("first"));
    layer.post(blocked("second"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    const std::string out = waitForLine(capture, "no answer within 1000 ms, abandoned");
    EXPECT_NE(out.find("Desktop notice for uid 0 not shown: no answer within 1000 ms, abandoned"),
              std::string::npos)
        << out;
    // The first delivery was given up, so the second one went out too.
    EXPECT_EQ(server.waitForCalls(2).size(), 2u);
    layer.post(blocked("third"));
  }  // destroyed with a delivery under way: it still ends
  EXPECT_EQ(zombieChildren(), 0);
}

TEST_F(DesktopNoticeTest, ConnectsAsTheTargetUser) {
  // Root's bus admits only root: were the child still root, the call would arrive.
  ASSERT_EQ(chmod(bus_.directory().c_str(), 0755), 0);
  NotificationServer server(bus_.address(), NotificationServer::Answer::Reply);
  ASSERT_TRUE(server.ready());
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer(
        [&] {
          return std::vector<DesktopTarget>{{65534, 65534, bus_.address()}};
        },
        nullptr);
    layer.post(blocked("x"));
    const std::string out = waitForLine(capture, "not shown");
    EXPECT_EQ(linesWith(out,
                        "Desktop notice for uid 65534 not shown: the session bus refused "
                        "the connection"),
              1u)
        << out;
  }
  EXPECT_TRUE(server.waitForCalls(0).empty());
}

TEST_F(DesktopNoticeTest, MissingServiceIsOneDiagnosticLine) {
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer(ownBus(), nullptr);
    layer.post(blocked("x"));
    waitForLine(capture, "not shown");
  }
  const std::string out = capture.take();
  EXPECT_EQ(linesWith(out, "Desktop notice"), 1u) << out;
  EXPECT_EQ(linesWith(out, "not shown: no notification service on the session bus"), 1u) << out;
}

TEST_F(DesktopNoticeTest, MissingSessionBusIsOneDiagnosticLine) {
  const std::string missing = unixBusAddress(bus_.directory() + "/missing");
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer([&] { return std::vector<DesktopTarget>{{0, 0, missing}}; }, nullptr);
    layer.post(blocked("x"));
    waitForLine(capture, "not shown");
  }
  const std::string out = capture.take();
  EXPECT_EQ(linesWith(out, "Desktop notice"), 1u) << out;
  EXPECT_EQ(linesWith(out, "not shown: no session bus at " + missing), 1u) << out;
}

TEST(DesktopNoticeNobody, GoesToTheFallbackOrOneLine) {
  auto fallback = std::make_shared<RecordingLayer>();
  {
    DesktopNoticeLayer layer([] { return std::vector<DesktopTarget>{}; }, fallback);
    layer.post(blocked("x"));
    EXPECT_EQ(fallback->waitFor(1), std::vector<std::string>{blocked("x").message});
  }

  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer([] { return std::vector<DesktopTarget>{}; }, nullptr);
    layer.post(blocked("<x>\n"));
    waitForLine(capture, "no graphical session");
  }
  const std::string out = capture.take();
  EXPECT_EQ(linesWith(out,
                      "Desktop notice not shown, no graphical session: "
                      "Application/Process is blocked! The usage of the application/process "
                      "in correlation with <x>\\n has been"),
            1u)
      << out;
}

TEST(DesktopNoticeQueue, DropsTheOldestAndCountsThem) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  bool first = true;
  auto fallback = std::make_shared<RecordingLayer>();
  test::StderrCapture capture;
  {
    // The first lookup holds the delivery thread until the queue has overflowed.
    DesktopNoticeLayer layer(
        [&, released] {
          if (std::exchange(first, false)) {
            entered.set_value();
            released.wait();
          }
          return std::vector<DesktopTarget>{};
        },
        fallback, {1000ms, 3});
    layer.post(blocked("0"));
    entered.get_future().wait();
    for (const char* name : {"1", "2", "3", "4", "5"}) layer.post(blocked(name));
    release.set_value();
    EXPECT_EQ(fallback->waitFor(4),
              (std::vector<std::string>{blocked("0").message, blocked("3").message,
                                        blocked("4").message, blocked("5").message}));
  }
  EXPECT_NE(
      capture.take().find("Dropped 2 desktop notices waiting for delivery (more than 3 waiting)"),
      std::string::npos);
}

}  // namespace
}  // namespace procblock::platform

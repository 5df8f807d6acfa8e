// The desktop notice layer against a real dbus-daemon and a notification
// service owned by the test. The notices are the agent's own, so that what
// reaches the bus is checked end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "agent/AgentTestSupport.hpp"
#include "notice/TestBus.hpp"
#include "procblock/platform/DesktopNotice.hpp"
#include "support/Capture.hpp"

namespace procblock::platform {
namespace {

using namespace std::chrono_literals;
using test::NotificationServer;

// The captured standard error once it holds `text`, or after 5 seconds.
std::string waitForLine(test::StderrCapture& capture, const std::string& text) {
  std::string out = capture.take();
  for (int i = 0; i < 250 && out.find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(20ms);
    out = capture.take();
  }
  return out;
}

std::size_t linesWith(const std::string& out, const std::string& text) {
  std::size_t n = 0;
  for (const auto& line : agenttest::lines(out)) n += line.find(text) != std::string::npos;
  return n;
}

// Children of this process that ended but were never reaped.
int zombieChildren() {
  int zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = agenttest::readFile(entry.path() / "stat").value_or(")");
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    char state;
    pid_t parent;
    zombies += rest >> state >> parent && parent == getpid() && state == 'Z';
  }
  return zombies;
}

class DesktopNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "changing identity needs root";
    ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start: " << bus_.log();
  }
  static DesktopTargetSource at(const std::string& address, int copies = 1, uid_t id = 0) {
    return [=] { return std::vector<DesktopTarget>(copies, DesktopTarget{id, id, address}); };
  }

  test::PrivateBus bus_;
};

// Each target gets a call of its own, byte for byte; the program's name is
// shown literally and cannot add markup.
TEST_F(DesktopNoticeTest, CallsNotifyForEveryTargetWithTheNoticeByteForByte) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Reply);
  ASSERT_TRUE(server.ready());
  DesktopNoticeLayer layer(at(bus_.address(), 2), nullptr);
  layer.post(blockedNotice("<b>x</b> & <a href=\"http://e/\">y</a>"));

  const auto calls = server.waitForCalls(2);
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.appName, "procblock");
    EXPECT_EQ(call.replacesId, 0u);
    EXPECT_EQ(call.icon, "");
    EXPECT_EQ(call.summary, "Application/Process is blocked!");
    EXPECT_EQ(call.body,
              "The usage of the application/process in correlation with &lt;b&gt;x&lt;/b&gt; "
              "&amp; &lt;a href=\"http://e/\"&gt;y&lt;/a&gt; has been blocked by your system "
              "administrator.");
    EXPECT_EQ(call.actions, (std::vector<std::string>{"ok", "OK"}));
    EXPECT_EQ(call.hints, (std::vector<test::Hint>{{"urgency", "y", 1}}));
    EXPECT_EQ(call.expireTimeout, 10000);
  }
}

TEST_F(DesktopNoticeTest, SilentServerNeitherHoldsTheCallerNorTheNextNotice) {
  NotificationServer server(bus_.address(), NotificationServer::Answer::Never);
  ASSERT_TRUE(server.ready());
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer(at(bus_.address()), nullptr);
    const auto start = std::chrono::steady_clock::now();
    layer.post(blockedNotice("first"));
    layer.post(blockedNotice("second"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    const std::string out = waitForLine(capture, "no answer within 1000 ms, abandoned");
    EXPECT_GE(linesWith(out,
                        "Desktop notice for uid 0 not shown: no answer within 1000 ms, "
                        "abandoned"),
              1u)
        << out;
    // The first delivery was given up, so the second one went out too.
    EXPECT_EQ(server.waitForCalls(2).size(), 2u);
    layer.post(blockedNotice("third"));
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
    DesktopNoticeLayer layer(at(bus_.address(), 1, 65534), nullptr);
    layer.post(blockedNotice("x"));
    const std::string out = waitForLine(capture, "not shown");
    EXPECT_EQ(linesWith(out,
                        "Desktop notice for uid 65534 not shown: the session bus refused "
                        "the connection"),
              1u)
        << out;
  }
  EXPECT_TRUE(server.waitForCalls(0).empty());
}

TEST_F(DesktopNoticeTest, AMissingServiceOrBusIsOneDiagnosticLine) {
  const std::string missing = unixBusAddress(bus_.directory() + "/missing");
  const std::pair<std::string, std::string> cases[] = {
      {bus_.address(), "not shown: no notification service on the session bus"},
      {missing, "not shown: no session bus at " + missing},
  };
  for (const auto& [address, line] : cases) {
    test::StderrCapture capture;
    {
      DesktopNoticeLayer layer(at(address), nullptr);
      layer.post(blockedNotice("x"));
      waitForLine(capture, "not shown");
    }
    const std::string out = capture.take();
    EXPECT_EQ(linesWith(out, "Desktop notice"), 1u) << out;
    EXPECT_EQ(linesWith(out, line), 1u) << out;
  }
}

TEST(DesktopNoticeNobody, GoesToTheFallbackOrOneLine) {
  auto nobody = [] { return std::vector<DesktopTarget>{}; };
  auto fallback = std::make_shared<agenttest::RecordingNotices>();
  {
    DesktopNoticeLayer layer(nobody, fallback);
    layer.post(blockedNotice("x"));
    EXPECT_EQ(fallback->waitFor(1), std::vector<std::string>{blockedNotice("x").message});
  }
  test::StderrCapture capture;
  {
    DesktopNoticeLayer layer(nobody, nullptr);
    layer.post(blockedNotice("<x>\n"));
    waitForLine(capture, "no graphical session");
  }
  const std::string out = capture.take();
  EXPECT_EQ(linesWith(out,
                      "Desktop notice not shown, no graphical session: Application/Process "
                      "is blocked! The usage of the application/process in correlation "
                      "with <x>\\n has been"),
            1u)
      << out;
}

TEST(DesktopNoticeQueue, DropsTheOldestAndCountsThem) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  bool first = true;
  auto fallback = std::make_shared<agenttest::RecordingNotices>();
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
    layer.post(blockedNotice("0"));
    entered.get_future().wait();
    for (const char* name : {"1", "2", "3", "4", "5"}) layer.post(blockedNotice(name));
    release.set_value();
    std::vector<std::string> expected;
    for (const char* name : {"0", "3", "4", "5"}) expected.push_back(blockedNotice(name).message);
    EXPECT_EQ(fallback->waitFor(4), expected);
  }
  EXPECT_EQ(linesWith(capture.take(),
                      "Dropped 2 desktop notices waiting for delivery (more than 3 waiting)"),
            1u);
}

}  // namespace
}  // namespace procblock::platform

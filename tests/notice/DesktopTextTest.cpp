// Who counts as a desktop user, bus addresses, and the markup-safe body text.
#include <gtest/gtest.h>

#include "procblock/platform/DesktopNotice.hpp"

namespace procblock::platform {
namespace {

LoginSession session(uid_t uid, bool active, std::optional<std::string> seat, std::string type,
                     std::string sessionClass = "user") {
  return LoginSession{uid, active, std::move(seat), std::move(type), std::move(sessionClass)};
}

TEST(SelectDesktopUsers, KeepsActiveUserSessionsWithASeatOrAGraphicalType) {
  struct Case {
    LoginSession session;
    bool selected;
  };
  const Case cases[] = {
      {session(1000, true, std::nullopt, "x11"), true},
      {session(1000, true, std::nullopt, "wayland"), true},
      {session(1000, true, std::nullopt, "mir"), true},
      {session(1000, true, "seat0", "tty"), true},
      {session(1000, true, std::nullopt, "tty"), false},  // ssh or a text login elsewhere
      {session(1000, false, "seat0", "wayland"), false},  // switched away
      {session(120, true, "seat0", "wayland", "greeter"), false},
      {session(1000, true, "seat0", "wayland", "lock-screen"), false},
      {session(1000, true, std::nullopt, "unspecified"), false},
  };
  for (const auto& c : cases) {
    const auto users = selectDesktopUsers({c.session});
    EXPECT_EQ(users.size(), c.selected ? 1u : 0u)
        << c.session.type << " seat=" << c.session.seat.value_or("-")
        << " active=" << c.session.active << " class=" << c.session.sessionClass;
  }
}

TEST(SelectDesktopUsers, EachUserOnceInTheOrderFirstSeen) {
  EXPECT_EQ(
      selectDesktopUsers(
          {session(1001, true, "seat0", "x11"), session(1000, true, std::nullopt, "wayland"),
           session(1001, true, std::nullopt, "wayland"), session(1002, false, "seat0", "x11")}),
      (std::vector<uid_t>{1001, 1000}));
}

TEST(UnixBusAddress, EscapesWhatAnAddressCannotHoldLiterally) {
  EXPECT_EQ(unixBusAddress("/run/user/1000/bus"), "unix:path=/run/user/1000/bus");
  EXPECT_EQ(unixBusAddress("/tmp/a b,c=d;e%f"), "unix:path=/tmp/a%20b%2cc%3dd%3be%25f");
  EXPECT_EQ(unixBusAddress("/tmp/caf\xc3\xa9"), "unix:path=/tmp/caf%c3%a9");
}

TEST(NoticeMarkupText, ShowsEveryNameLiterally) {
  const std::pair<std::string, std::string> cases[] = {
      {"Firefox", "Firefox"},
      {"Caf\xc3\xa9", "Caf\xc3\xa9"},
      {"<b>x</b>", "&lt;b&gt;x&lt;/b&gt;"},
      {"<a href='http://e/'>y</a>", "&lt;a href='http://e/'&gt;y&lt;/a&gt;"},
      {"a & b", "a &amp; b"},
      {"&amp;", "&amp;amp;"},  // an entity stays the text it is
      {"two\nlines", "two\\nlines"},
      {"bad\xff", "bad\xef\xbf\xbd"},  // the bus carries only valid UTF-8
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(noticeMarkupText(in), out) << in;
}

}  // namespace
}  // namespace procblock::platform

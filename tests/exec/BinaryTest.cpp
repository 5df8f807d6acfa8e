// Binary built from real files and bundles in a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "ExecFixture.hpp"
#include "procscope/Binary.hpp"
#include "procscope/BinaryCache.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/platform/Icons.hpp"

using namespace procscope;

namespace {

class FixedIcons : public platform::IconLayer {
 public:
  explicit FixedIcons(std::optional<Image> icon) : icon_(std::move(icon)) {}
  std::optional<Image> iconForFile(const std::string&) override { return icon_; }

 private:
  std::optional<Image> icon_;
};

// A child in a mount namespace of its own, with a tmpfs at `dir` and
// `binds` binds of a directory of a 240-byte name under it (some 600 bytes
// of its mount table each); ended with the object.
class PrivateMounts {
 public:
  PrivateMounts(const std::string& dir, int binds) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string name = dir + "/" + std::string(240, 'p');
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("pbx", dir.c_str(), "tmpfs", 0, nullptr) != 0 ||
          ::mkdir(name.c_str(), 0755) != 0) {
        ::_exit(2);
      }
      for (int i = 0; i < binds; ++i) {
        const std::string point = name + std::to_string(i);
        if (::mkdir(point.c_str(), 0755) != 0 ||
            ::mount(name.c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0) {
          ::_exit(2);
        }
      }
      if (::write(ready[1], "x", 1) != 1) ::_exit(2);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char made = 0;
    const bool mounted = pid_ > 0 && ::read(ready[0], &made, 1) == 1;
    ::close(ready[0]);
    const std::string proc = "/proc/" + std::to_string(pid_);
    struct statx top {};
    struct stat ns {};
    if (mounted && ::statx(AT_FDCWD, (proc + "/root" + dir).c_str(), 0, STATX_MNT_ID, &top) == 0 &&
        ::stat((proc + "/ns/mnt").c_str(), &ns) == 0) {
      query_ = inspection::MountQuery{
          pid_, ns.st_ino, top.stx_mnt_id, top.stx_dev_major, top.stx_dev_minor, dir};
    }
  }
  ~PrivateMounts() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  PrivateMounts(const PrivateMounts&) = delete;
  PrivateMounts& operator=(const PrivateMounts&) = delete;

  const std::optional<inspection::MountQuery>& query() const { return query_; }

 private:
  pid_t pid_ = -1;
  std::optional<inspection::MountQuery> query_;
};

class BinaryTest : public ::testing::Test {
 protected:
  test::TempDir tmp;
};

}  // namespace

// Names and identifiers come from the bundle whose executable the path is,
// else from the file name; a command name is looked up along PATH.
TEST_F(BinaryTest, NamesAndIdentifiersFromBundlesOrFileNames) {
  std::string full = test::makeBundle(tmp.path(), "Full",
                                      {{"CFBundleExecutable", "full-exe"},
                                       {"CFBundleName", "Full Name"},
                                       {"CFBundleIdentifier", "com.example.full"}});
  std::string nameless = test::makeBundle(
      tmp.path(), "Nameless", {{"CFBundleExecutable", "nl"}, {"CFBundleIdentifier", "com.x.nl"}});
  std::string anonymous = test::makeBundle(tmp.path(), "Anonymous",
                                           {{"CFBundleExecutable", "anon"}, {"CFBundleName", "A"}});
  test::writeFile(full + "/Contents/MacOS/helper", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "Broken.app/Contents/Info.plist", "<plist><dict><key>CFBundle");
  test::writeFile(tmp / "Broken.app/Contents/MacOS/Broken", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "bin/mytool", "#!/bin/sh\n", 0755);
  test::ScopedEnv path("PATH", tmp / "nowhere:" + tmp / "bin");

  const struct {
    std::string asked, path;
    std::optional<std::string> bundle, name, identifier;
  } cases[] = {
      {full + "/Contents/MacOS/full-exe", full + "/Contents/MacOS/full-exe", full, "Full Name",
       "com.example.full"},
      {full, full, full, "Full Name", "com.example.full"},  // the bundle directory itself
      {full + "/Contents/MacOS/helper", full + "/Contents/MacOS/helper", {}, "helper", "helper"},
      {nameless + "/Contents/MacOS/nl", nameless + "/Contents/MacOS/nl", nameless, "nl",
       "com.x.nl"},
      {anonymous + "/Contents/MacOS/anon", anonymous + "/Contents/MacOS/anon", anonymous, "A", {}},
      {tmp / "Broken.app/Contents/MacOS/Broken",
       tmp / "Broken.app/Contents/MacOS/Broken",
       {},
       "Broken",
       "Broken"},
      {tmp / "Broken.app", tmp / "Broken.app", tmp / "Broken.app", "Broken.app", {}},
      {"mytool", tmp / "bin/mytool", {}, "mytool", "mytool"},
      {"some/dir/absent-tool", "some/dir/absent-tool", {}, "absent-tool", "absent-tool"},
  };
  for (const auto& c : cases) {
    auto b = Binary::init(c.asked);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->path(), c.path);
    EXPECT_EQ(b->bundle() ? std::optional(b->bundle()->bundlePath()) : std::nullopt, c.bundle)
        << c.path;
    EXPECT_EQ(b->name(), c.name) << c.path;
    EXPECT_EQ(b->bundleIdentifier(), c.identifier) << c.path;
    // init leaves the costly fields to those who ask.
    EXPECT_FALSE(b->icon() || b->signingInfo() || b->sha256() || b->identifier()) << c.path;
  }
}

TEST_F(BinaryTest, AttributesDescribeTheItemItself) {
  test::writeFile(tmp / "tool", "12345", 04751);
  ASSERT_EQ(symlink((tmp / "tool").c_str(), (tmp / "link").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(stat((tmp / "tool").c_str(), &st), 0);

  auto a = Binary::init(tmp / "tool")->attributes();
  ASSERT_TRUE(a);
  const Date modified{std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)))};
  const std::pair<const char*, Value> expected[] = {
      {"NSFileType", "NSFileTypeRegular"},
      {"NSFileSize", 5},
      {"NSFilePosixPermissions", 04751},
      {"NSFileOwnerAccountID", static_cast<std::int64_t>(st.st_uid)},
      {"NSFileGroupOwnerAccountID", static_cast<std::int64_t>(st.st_gid)},
      {"NSFileReferenceCount", 1},
      {"NSFileSystemFileNumber", static_cast<std::int64_t>(st.st_ino)},
      {"NSFileSystemNumber", static_cast<std::int64_t>(st.st_dev)},
      {"NSFileModificationDate", modified},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(a->at(key), value) << key;
  if (getuid() == 0) {
    EXPECT_EQ(stringForKey(*a, "NSFileOwnerAccountName"), "root");
  }
  EXPECT_EQ(stringForKey(Binary::init(tmp / "link")->attributes(), "NSFileType"),
            "NSFileTypeSymbolicLink");
  EXPECT_EQ(stringForKey(Binary::init(tmp.path())->attributes(), "NSFileType"),
            "NSFileTypeDirectory");
  EXPECT_EQ(Binary::init(tmp / "missing")->attributes(), std::nullopt);
}

TEST_F(BinaryTest, MetadataIsTheExtendedAttributes) {
  test::writeFile(tmp / "tagged", "x");
  const std::string value("\x00\x01rest", 6);
  if (lsetxattr((tmp / "tagged").c_str(), "user.procscope.test", value.data(), value.size(), 0) !=
      0) {
    GTEST_SKIP() << "no user extended attributes on this file system";
  }
  auto tagged = Binary::init(tmp / "tagged")->metadata();
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->at("user.procscope.test"), Value(Data(value.begin(), value.end())));
  // A final link is no regular file: not the attributes of what it points to.
  std::filesystem::create_symlink(tmp / "tagged", tmp / "link");
  EXPECT_EQ(Binary::init(tmp / "link")->metadata(), std::nullopt);

  auto missing = Binary::init(tmp / "missing");
  missing->setMetadata(Dictionary{{"kept", 1}});
  missing->getMetadata();  // unreadable: left as it was
  EXPECT_EQ(missing->metadata(), (Dictionary{{"kept", 1}}));
}

TEST_F(BinaryTest, IconFromTheBundleElseTheDesktopEndingAt128) {
  const std::string desktop = "/themes/application-x-executable.png";
  platform::ScopedService<platform::IconLayer> icons(
      std::make_shared<FixedIcons>(Image{desktop, 48, 48}));
  auto bundle = [&](const char* name, const char* iconFile, const char* resource) {
    std::string path = test::makeBundle(
        tmp.path(), name, {{"CFBundleExecutable", "p"}, {"CFBundleIconFile", iconFile}});
    if (*resource) test::writeFile(path + "/Contents/Resources/" + resource, "icon");
    return path;
  };
  std::string plain = bundle("Plain", "App", "App.icns");
  std::string png = bundle("Png", "Icon.png", "Icon.png");
  test::writeFile(png + "/Contents/Resources/Icon.icns", "icns");
  std::string lost = bundle("Lost", "Gone", "");
  std::string bare = test::makeBundle(tmp.path(), "Bare", {{"CFBundleExecutable", "p"}});
  test::writeFile(tmp / "tool", "#!/bin/sh\n", 0755);

  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {plain + "/Contents/MacOS/p", plain + "/Contents/Resources/App.icns"},
      {png, png + "/Contents/Resources/Icon.png"},
      {lost + "/Contents/MacOS/p", desktop},
      {bare, desktop},
      {tmp / "tool", desktop},
      {"relative-tool-without-bundle", std::nullopt},
  };
  for (const auto& [path, icon] : cases) {
    auto b = Binary::init(path);
    b->getIcon();
    ASSERT_EQ(b->icon().has_value(), icon.has_value()) << path;
    if (!icon) continue;
    EXPECT_EQ(b->icon()->sourcePath, *icon) << path;
    EXPECT_EQ(b->icon()->width, 128.0);
    EXPECT_EQ(b->icon()->height, 128.0);
  }

  platform::ScopedService<platform::IconLayer> none(std::make_shared<FixedIcons>(std::nullopt));
  auto b = Binary::init(tmp / "tool");
  b->getIcon();
  EXPECT_EQ(b->icon(), std::nullopt);
}

TEST_F(BinaryTest, ThemeIconPrefers128ThenScalableThenNearestLarger) {
  const std::string name = "application-x-executable";
  auto find = [&] {
    return platform::findThemeIcon({tmp / "icons", tmp / "none"}, {tmp / "pixmaps"}, name);
  };
  EXPECT_EQ(find(), std::nullopt);
  // Each icon added in turn; the best so far is found.
  const std::pair<const char*, const char*> steps[] = {
      {"pixmaps/%.xpm", "pixmaps/%.xpm"},
      {"icons/Theme/16x16/mimetypes/%.png", "icons/Theme/16x16/mimetypes/%.png"},
      {"icons/Theme/48x48/mimetypes/%.png", "icons/Theme/48x48/mimetypes/%.png"},
      {"icons/Other/mimetypes/256/%.svg", "icons/Other/mimetypes/256/%.svg"},  // context, size
      {"icons/Theme/512x512/mimetypes/%.png", "icons/Other/mimetypes/256/%.svg"},
      {"icons/Theme/scalable/mimetypes/%.svg", "icons/Theme/scalable/mimetypes/%.svg"},
      {"icons/Theme/128x128/mimetypes/%-symbolic.png", "icons/Theme/scalable/mimetypes/%.svg"},
      {"icons/Theme/128x128/mimetypes/%.png", "icons/Theme/128x128/mimetypes/%.png"},
  };
  auto named = [&](std::string pattern) {
    return tmp / pattern.replace(pattern.find('%'), 1, name);
  };
  for (const auto& [added, best] : steps) {
    test::writeFile(named(added), "i");
    EXPECT_EQ(find(), named(best)) << added;
  }
}

TEST_F(BinaryTest, DigestIsUpperCaseSha256OfTheWholeFileOrNothing) {
  const std::pair<std::string, const char*> cases[] = {
      {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
      {std::string(1000000, 'a'),  // many chunks
       "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
  };
  for (const auto& [contents, digest] : cases) {
    test::writeFile(tmp / "file", contents);
    auto b = Binary::init(tmp / "file");
    b->generateHash();
    EXPECT_EQ(b->sha256(), digest) << contents.size();
  }

  // No digest leaves the field as it was.
  test::writeFile(tmp / "empty", "");
  std::filesystem::create_directories(tmp / "dir");
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
  ASSERT_TRUE(test::makeNullDevice(tmp / "null"));
  std::filesystem::create_symlink(tmp / "null", tmp / "device");
  test::OpenWatch opens;  // neither is opened, for the digest or the metadata
  ASSERT_TRUE(opens.watch(tmp / "fifo"));
  ASSERT_TRUE(opens.watch(tmp / "null"));
  for (const char* name : {"empty", "missing", "dir", "fifo", "device"}) {
    auto b = Binary::init(tmp / name);
    b->generateHash();
    EXPECT_EQ(b->sha256(), std::nullopt) << name;
    b->setSha256("EARLIER");
    b->generateHash();
    EXPECT_EQ(b->sha256(), "EARLIER") << name;
  }
  EXPECT_FALSE(opens.opened());
}

// The signing identifier stands only for a valid signature with a certificate
// chain; anything else falls back on the digest. Signing information is
// looked up (here: the unsigned Linux layer) unless already there.
TEST_F(BinaryTest, IdentifierIsTheSigningIdentifierOnlyForValidCertificateChains) {
  const char* kAbc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  test::writeFile(tmp / "file", "abc");
  const Array chain{"Leaf"};
  const struct {
    const char* what;
    std::optional<Dictionary> info;
    std::string file;
    std::optional<std::string> identifier;
  } cases[] = {
      {"signed with a chain",
       Dictionary{{"signatureStatus", 0},
                  {"signatureIdentifier", "com.x"},
                  {"signatureAuthorities", chain}},
       "file", "com.x"},
      {"no status counts as valid",
       Dictionary{{"signatureIdentifier", "com.x"}, {"signatureAuthorities", chain}}, "file",
       "com.x"},
      {"ad hoc", Dictionary{{"signatureStatus", 0}, {"signatureIdentifier", "adhoc"}}, "file",
       kAbc},
      {"empty chain",
       Dictionary{{"signatureIdentifier", "com.x"}, {"signatureAuthorities", Array{}}}, "file",
       kAbc},
      {"chain without identifier", Dictionary{{"signatureAuthorities", chain}}, "file", kAbc},
      {"invalid signature",
       Dictionary{{"signatureStatus", -67061},  // signature failed
                  {"signatureIdentifier", "com.x"},
                  {"signatureAuthorities", chain}},
       "file", kAbc},
      {"signed but unreadable",
       Dictionary{{"signatureIdentifier", "com.gone"}, {"signatureAuthorities", chain}}, "missing",
       "com.gone"},
      {"looked up: unsigned", std::nullopt, "file", kAbc},
      {"looked up: unknown and unreadable", std::nullopt, "missing", std::nullopt},
  };
  for (const auto& c : cases) {
    auto b = Binary::init(tmp / c.file);
    if (c.info) b->setSigningInfo(*c.info);
    b->generateIdentifier();
    EXPECT_EQ(b->identifier(), c.identifier) << c.what;
    EXPECT_TRUE(b->signingInfo()) << c.what;
  }
}

// An inspection that overruns its deadline is given up on and its late result
// dropped; its file system is then left alone while others are still
// inspected, and the record is made from the path alone.
TEST_F(BinaryTest, InspectionPastItsDeadlineIsDroppedAndItsFileSystemLeftAlone) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // /proc is a mount of its own, so the stall stays there.
  EXPECT_EQ(inspection::bounded<int>("/proc/stalled",
                                     [released] {
                                       released.wait();
                                       return 1;
                                     }),
            std::nullopt);
  auto ran = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(inspection::run("/proc/other", [ran] { *ran = true; }));
  EXPECT_EQ(inspection::bounded<int>(tmp / "file", [] { return 2; }), 2);
  release.set_value();
  EXPECT_FALSE(*ran);

  auto known = Binary::uninspected("/stalled/bin/prog");
  EXPECT_EQ(known->path(), "/stalled/bin/prog");
  EXPECT_EQ(known->name(), "prog");
  EXPECT_EQ(known->bundleIdentifier(), "prog");
  EXPECT_EQ(known->attributes(), std::nullopt);
}

// Only a step that blocked past the deadline leaves its mount alone, and only
// that mount (one that may never answer); one that computes past it leaves
// none, and each is finished and handed on late.
TEST_F(BinaryTest, OnlyAStepThatBlockedLeavesItsMountAlone) {
  constexpr inspection::MountId kComputing = 0x7e570001, kBlocked = 0x7e570002, kOther = 0x7e570003;
  auto late = std::make_shared<std::atomic<int>>(0);
  auto lateEnds = [late] { ++*late; };
  auto handedOn = [&](int count) {
    for (int tries = 0; tries < 10000 && *late < count; ++tries) ::usleep(1000);
    return late->load();
  };
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto policy = std::make_shared<std::atomic<int>>(-1);
  EXPECT_FALSE(inspection::run(
      kComputing,
      [release, policy] {
        while (!release->load()) {
        }
        policy->store(::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK);
      },
      lateEnds));
  release->store(true);
  EXPECT_EQ(handedOn(1), 1);
  EXPECT_EQ(policy->load(), SCHED_OTHER) << "past its deadline, at normal priority";
  EXPECT_TRUE(inspection::run(kComputing, [] {}));

  std::promise<void> unblock;
  std::shared_future<void> unblocked = unblock.get_future().share();
  EXPECT_FALSE(inspection::run(
      kBlocked, [unblocked] { unblocked.wait(); }, lateEnds));
  auto ran = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(inspection::run(
      kBlocked, [ran] { *ran = true; }, lateEnds));
  EXPECT_TRUE(inspection::run(kOther, [] {}));
  inspection::setBackoff(std::chrono::steady_clock::duration::zero());
  unblock.set_value();
  EXPECT_EQ(handedOn(2), 2);
  EXPECT_FALSE(*ran);
  EXPECT_TRUE(inspection::run(kBlocked, [] {})) << "still left alone past its back-off";
  inspection::setBackoff(inspection::kBackoff);

  // A local disk answers in the end, however slowly: never left alone.
  if (!inspection::answersInline(tmp.path())) GTEST_SKIP() << "scratch directory not local";
  const auto local = inspection::mountOf(tmp.path());
  std::promise<void> slowDisk;
  EXPECT_FALSE(inspection::run(local, [done = slowDisk.get_future().share()] { done.wait(); }));
  slowDisk.set_value();
  EXPECT_TRUE(inspection::run(local, [] {}));
}

// The mount table follows mounts made after it was read, also in a child
// forked from a process that had read its own (whose watcher it lacks): a
// FUSE mount (here with nobody serving it) is no longer inspected inline.
// Whether a lookup waits on no server is told by the mount reached and all
// above it, in the process's own table: a local mount under FUSE, or an
// overlay whose layer is on FUSE, may stall.
TEST(MountLocality, IsThatOfTheMountReachedAndAllAboveItAndOfAnOverlaysLayers) {
  const std::string table =
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 0:40 / /fuse rw - fuse.user user rw\n"
      "3 2 0:41 / /fuse/tmp rw - tmpfs tmpfs rw\n"
      "4 1 0:42 / /ovl rw - overlay overlay rw,lowerdir=/fuse/low,upperdir=/up,workdir=/w\n"
      "5 1 0:43 / /ovl2 rw - overlay overlay rw,lowerdir=/a:/b,upperdir=/up,workdir=/w\n"
      "6 1 0:44 / /hidden rw - overlay overlay rw\n"
      "8 1 0:45 / /ovl3 rw - overlay overlay rw,lowerdir=/a\\134:b:/c,upperdir=/up\n";
  struct Case {
    std::uint64_t id;
    std::uint32_t minor;
    const char* path;
    std::optional<bool> local;
  } const cases[] = {
      {1, 1, "/usr/bin/x", true},
      {3, 41, "/fuse/tmp/x", false},
      {4, 42, "/ovl/x", false},
      {5, 43, "/ovl2/x", true},
      {6, 44, "/hidden/x", false},
      {8, 45, "/ovl3/x", true},  // a layer's ':' escaped in its name
      {3, 99, "/fuse/tmp/x", std::nullopt},
      {3, 41, "/elsewhere/x", std::nullopt},
      {7, 1, "/x", std::nullopt},
  };
  for (const Case& c : cases) {
    inspection::MountQuery q{1, 0, c.id, c.id == 1 ? 8u : 0u, c.minor, c.path};
    EXPECT_EQ(inspection::mountIsLocalIn(table, q), c.local) << c.id << " " << c.path;
  }
}

TEST_F(BinaryTest, MountTableFollowsLaterMountsAlsoAfterAFork) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a thread started after a multi-threaded fork stops ThreadSanitizer";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) GTEST_SKIP() << "no /dev/fuse";
  const std::string dir = tmp / "mnt";
  std::filesystem::create_directories(dir);
  ASSERT_NE(inspection::mountPointOf(dir + "/x"), dir);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A mount namespace of its own, so the mount is seen nowhere else.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      ::_exit(2);
    }
    if (inspection::mountPointOf(dir + "/x") == dir) ::_exit(3);
    const std::string options =
        "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
    if (::mount("procscope-test", dir.c_str(), "fuse", 0, options.c_str()) != 0) ::_exit(2);
    // Seen once the watcher has counted the change.
    for (int tries = 0; tries < 10000; ++tries) {
      if (inspection::mountPointOf(dir + "/x") == dir) {
        ::_exit(inspection::answersInline(dir + "/x") ? 4 : 0);
      }
      ::usleep(1000);
    }
    ::_exit(1);
  }
  ::close(fuse);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the mount was never seen; 2: no private mount; 3: "
                                       "seen before it was made; 4: inspected inline";
}

// Another namespace's mount table past its bound (1 MiB) is not read, at
// the asking thread's cost: its mounts count as not local.
TEST_F(BinaryTest, AnotherNamespacesMountTablePastItsBoundIsNotRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  if (!inspection::answersInline(tmp.path())) GTEST_SKIP() << "scratch directory not local";
  const PrivateMounts large(tmp.path(), 2200);  // some 1.3 MiB of table
  ASSERT_TRUE(large.query()) << "no private namespace of 2,200 mounts";
  EXPECT_FALSE(inspection::mountIsLocal(*large.query()));
}

// After reading one, no other namespace's table is read for twenty times as
// long: counted on a clock that moves a millisecond at each look.
TEST_F(BinaryTest, ReadsOfOtherNamespacesTablesAreSpacedOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  if (!inspection::answersInline(tmp.path())) GTEST_SKIP() << "scratch directory not local";
  const PrivateMounts first(tmp.path(), 0), second(tmp.path(), 0);
  ASSERT_TRUE(first.query() && second.query());
  auto now = std::make_shared<std::atomic<std::chrono::steady_clock::time_point>>(
      std::chrono::steady_clock::time_point(std::chrono::hours(1)));
  inspection::setForeignTablesClock(
      [now] { return now->exchange(now->load() + std::chrono::milliseconds(1)); });
  EXPECT_TRUE(inspection::mountIsLocal(*first.query()));
  EXPECT_FALSE(inspection::mountIsLocal(*second.query())) << "read within the pause";
  now->store(now->load() + std::chrono::seconds(1));
  EXPECT_TRUE(inspection::mountIsLocal(*second.query()));
  inspection::setForeignTablesClock({});
}

// A remembered inspection is served only while everything it was made from
// stands as it was: the name follows the path, and a bundle appearing, a
// rewritten Info.plist or a file put in place of another are seen at once.
TEST_F(BinaryTest, RememberedInspectionIsTheFreshOneWhateverChanged) {
  if (!inspection::answersInline(tmp.path())) GTEST_SKIP() << "scratch directory not local";
  const std::string harmless = tmp / "bin/harmless", miner = tmp / "bin/miner";
  test::writeFile(harmless, "#!/bin/sh\n", 0755);
  ASSERT_EQ(::link(harmless.c_str(), miner.c_str()), 0);
  const std::string app =
      test::makeBundle(tmp.path(), "App",
                       {{"CFBundleExecutable", "app"}, {"CFBundleIdentifier", "com.example.one"}});
  test::writeFile(tmp / "Loose/Contents/Info.plist",
                  test::plistOfStrings({{"CFBundleExecutable", "loose"}, {"CFBundleName", "L"}}));
  test::writeFile(tmp / "Loose/Contents/MacOS/loose", "#!/bin/sh\n", 0755);
  const std::string replaced = tmp / "bin/replaced";
  test::writeFile(replaced, "#!/bin/sh\n", 0755);
  std::this_thread::sleep_for(BinaryCache::kSettle * 2);  // files changed just now are not kept

  auto inspect = [](const std::string& path) {
    auto b = inspectRemembered(path, path);
    EXPECT_NE(b, nullptr) << path;
    return b ? b : std::make_shared<Binary>();
  };
  const std::string loose = tmp / "Loose/Contents/MacOS/loose";
  for (const auto& path : {harmless, miner, app + "/Contents/MacOS/app", loose, replaced}) {
    EXPECT_EQ(inspect(path), inspect(path)) << path << " not remembered";
  }
  EXPECT_EQ(inspect(harmless)->name(), "harmless");
  EXPECT_EQ(inspect(miner)->name(), "miner");

  std::filesystem::rename(tmp / "Loose", tmp / "Loose.app");
  auto bundled = inspect(tmp / "Loose.app/Contents/MacOS/loose");
  EXPECT_EQ(bundled->name(), "L");
  ASSERT_NE(bundled->bundle(), nullptr);

  test::writeFile(app + "/Contents/Info.plist",
                  test::plistOfStrings(
                      {{"CFBundleExecutable", "app"}, {"CFBundleIdentifier", "com.example.two"}}));
  EXPECT_EQ(inspect(app + "/Contents/MacOS/app")->bundleIdentifier(), "com.example.two");

  test::writeFile(tmp / "bin/new", "#!/bin/sh\n", 0755);
  std::filesystem::rename(tmp / "bin/new", replaced);
  struct stat st {};
  ASSERT_EQ(::stat(replaced.c_str(), &st), 0);
  const auto fresh = inspect(replaced);
  ASSERT_TRUE(fresh->attributes());
  EXPECT_EQ(fresh->attributes()->at("NSFileSystemFileNumber").integer(),
            static_cast<std::int64_t>(st.st_ino));

  // A new owner moves the change time alone.
  if (::geteuid() != 0) return;
  ASSERT_EQ(::chown(harmless.c_str(), 4321, 4321), 0);
  const auto owned = inspect(harmless)->attributes();
  ASSERT_TRUE(owned);
  EXPECT_EQ(owned->at("NSFileOwnerAccountID"), Value(4321));
}

// A write through a shared mapping changes a file's times only at its first
// fault: the property list's bytes, not its times, tell a remembered
// inspection from a stale one.
TEST(BinaryCache, PropertyListRewrittenThroughAHeldMappingIsSeen) {
  test::TempDir shm("/dev/shm/procscope-exec-");  // tmpfs: times stay for the mapping's life
  const std::string app =
      test::makeBundle(shm.path(), "App",
                       {{"CFBundleExecutable", "app"}, {"CFBundleIdentifier", "com.example.one"}});
  const std::string plist = app + "/Contents/Info.plist";
  const int fd = ::open(plist.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  auto* map = static_cast<char*>(::mmap(nullptr, static_cast<std::size_t>(st.st_size),
                                        PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ::close(fd);
  ASSERT_NE(map, MAP_FAILED);
  const std::string_view bytes(map, static_cast<std::size_t>(st.st_size));
  const std::size_t at = bytes.find("com.example.one");
  ASSERT_NE(at, std::string_view::npos);
  map[at] = 'c';                                          // the first fault, which stamps the times
  std::this_thread::sleep_for(BinaryCache::kSettle * 2);  // files changed just now are not kept

  const std::string executable = app + "/Contents/MacOS/app";
  const auto first = inspectRemembered(executable, executable);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bundleIdentifier(), "com.example.one");
  EXPECT_EQ(inspectRemembered(executable, executable), first) << "not remembered";
  std::memcpy(map + at, "com.example.two", 15);
  const auto second = inspectRemembered(executable, executable);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bundleIdentifier(), "com.example.two");
  ::munmap(map, static_cast<std::size_t>(st.st_size));
}

// One copy of a program with many 64 KiB user attributes and three of 6000
// bytes, run under many names: each Binary keeps a bounded share of the
// attributes (two of the three fit) and says how many it left out, and the
// cache stays within its bound in bytes.
TEST(BinaryCache, BoundedInBytesWhateverTheAttributesAndLinks) {
  test::TempDir shm("/dev/shm/procscope-exec-");
  ASSERT_FALSE(shm.path().empty());
  const std::string program = shm / "pbx-true";
  std::filesystem::copy_file("/bin/true", program);
  const std::string big(64 * 1024, 'x');
  if (::setxattr(program.c_str(), "user.small", "s", 1, 0) != 0) {
    GTEST_SKIP() << "no user extended attributes on tmpfs here (Linux 6.6 and later)";
  }
  constexpr int kLarge = 100;
  for (int i = 0; i < kLarge; ++i) {
    const std::string name = "user.big" + std::to_string(i);
    ASSERT_EQ(::setxattr(program.c_str(), name.c_str(), big.data(), big.size(), 0), 0) << i;
  }
  for (const char* name : {"user.mid0", "user.mid1", "user.mid2"}) {
    ASSERT_EQ(::setxattr(program.c_str(), name, big.data(), 6000, 0), 0);
  }
  for (int i = 0; i < kLarge; ++i) {
    ASSERT_EQ(::link(program.c_str(), (shm / "pbx-" + std::to_string(i)).c_str()), 0);
  }
  std::this_thread::sleep_for(BinaryCache::kSettle * 2);  // files changed just now are not kept

  constexpr std::size_t kBound = std::size_t{128} * 1024;
  BinaryCache cache(BinaryCache::kCapacity, kBound);
  const auto layer = platform::Bundles::get();
  for (int i = 0; i < kLarge; ++i) {
    const std::string link = shm / "pbx-" + std::to_string(i);
    const auto key = BinaryCache::keyOf(link, link, *layer);
    ASSERT_TRUE(key);
    const auto binary = Binary::init(link, link);
    ASSERT_TRUE(binary->metadata());
    EXPECT_EQ(binary->metadata()->at("user.small"), Value(Data{'s'}));
    EXPECT_EQ(binary->metadata()->at(Binary::kOmittedAttributesKey), Value(kLarge + 1));
    EXPECT_LT(BinaryCache::estimatedBytes(key->bytes, *binary), Binary::kMaxAttributeBytes * 2);
    cache.store(*key, layer, binary);
  }
  EXPECT_LE(cache.bytes(), kBound);
  EXPECT_GT(cache.size(), 5U);
  EXPECT_LT(cache.size(), static_cast<std::size_t>(kLarge)) << "the oldest went first";
}

// Two processes' roots (two namespaces, or chroots) with different bundles
// at one path: each is inspected in its own root, an absolute link there
// resolves inside it, and what is found counts only when it is the file the
// process runs.
TEST_F(BinaryTest, InspectionThroughARootSeesThatRootsFilesAndOnlyTheFileExecuted) {
  const std::string game = "/Game.app/Contents/MacOS/game";
  test::writeFile(tmp / "a/Game.app/Contents/Info.plist",
                  test::plistOfStrings(
                      {{"CFBundleExecutable", "game"}, {"CFBundleIdentifier", "com.example.a"}}));
  test::writeFile(tmp / "b/plist", test::plistOfStrings({{"CFBundleExecutable", "game"},
                                                         {"CFBundleIdentifier", "com.example.b"}}));
  std::filesystem::create_directories(tmp / "b/Game.app/Contents");
  std::filesystem::create_symlink("/plist", tmp / "b/Game.app/Contents/Info.plist");
  ExecutableSite sites[2];
  for (int i = 0; i < 2; ++i) {
    const std::string root = tmp / (i == 0 ? "a" : "b");
    test::writeFile(root + game, "#!/bin/sh\n", 0755);
    struct stat st {};
    ASSERT_EQ(::stat((root + game).c_str(), &st), 0);
    sites[i].root = std::make_shared<const LookupRoot>(
        FileDescriptor(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
    sites[i].executed = FileIdentity{st.st_dev, st.st_ino};
    sites[i].local = true;
  }
  std::this_thread::sleep_for(BinaryCache::kSettle * 2);  // remembered from now on
  for (int pass = 0; pass < 2; ++pass) {
    auto a = inspectRemembered(game, game, &sites[0]);
    auto b = inspectRemembered(game, game, &sites[1]);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bundleIdentifier(), "com.example.a");
    EXPECT_EQ(b->bundleIdentifier(), "com.example.b");
  }
  ExecutableSite elsewhere = sites[0];
  elsewhere.executed = sites[1].executed;
  EXPECT_EQ(inspectRemembered(game, game, &elsewhere), nullptr) << "another file at the path";
  elsewhere.local = false;
  EXPECT_EQ(inspectRemembered(game, game, &elsewhere), nullptr) << "the same, on the pool";
}

TEST(BinaryCache, KeepsNoMoreThanItsCapacityDroppingTheOldest) {
  BinaryCache cache(2);
  const auto layer = platform::Bundles::get();
  for (const char* key : {"first", "second", "third"}) {
    cache.store({key, true}, layer, std::make_shared<Binary>());
  }
  EXPECT_EQ(cache.size(), 2U);
  EXPECT_EQ(cache.find({"first", true}, layer), nullptr);
  EXPECT_NE(cache.find({"third", true}, layer), nullptr);
}

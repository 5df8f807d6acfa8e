// Writes the seed inputs of the fuzz targets, one folder per target, as the
// committed corpus/ holds them: BSM records made by the encoder, argument
// areas laid out by assembleArgumentArea, /proc text, block lists, and
// property lists written by libplist.
//   fuzz-seeds OUTPUT-FOLDER
#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/bsm/Encoder.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

namespace bsm = procscope::bsm;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

fs::path outputRoot;

void write(const std::string& target, const std::string& name, std::string_view bytes) {
  const fs::path folder = outputRoot / target;
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
    std::exit(1);
  }
}

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  write(target, name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// ---- BSM records ----

const bsm::RecordTime kTime{1700000000, 250};

bsm::SubjectFields subject(std::uint32_t pid, std::uint32_t euid = 1000) {
  bsm::SubjectFields s;
  s.auid = 1000;
  s.euid = euid;
  s.egid = 1000;
  s.ruid = 1000;
  s.rgid = 1000;
  s.pid = pid;
  s.sid = pid;
  s.tidPort = 0x1234;
  s.tidAddr = 0x7f000001;
  return s;
}

Bytes execve(std::uint32_t pid, std::string_view path, std::vector<std::string_view> args) {
  return bsm::RecordBuilder(bsm::AUE_EXECVE, kTime)
      .subject32(subject(pid))
      .path(path)
      .execArgs(args)
      .return32(0, 0)
      .finish();
}

Bytes fork(std::uint32_t parent, std::uint32_t child) {
  return bsm::RecordBuilder(bsm::AUE_FORK, kTime)
      .subject32(subject(parent))
      .arg32(0, child, "child PID")
      .return32(0, child)
      .finish();
}

void bsmSeeds() {
  const std::string t = "bsm-record";
  write(t, "execve", execve(4242, "/usr/bin/ls", {"ls"sv, "-l"sv, "/tmp"sv}));
  write(t, "execve-subject64",
        bsm::RecordBuilder(bsm::AUE_EXECVE, kTime)
            .subject64(subject(4243, 0))
            .path("/opt/Forbidden.app/Contents/MacOS/Forbidden")
            .execArgs(std::vector<std::string_view>{"Forbidden"sv, "--flag"sv})
            .return64(0, 0)
            .finish());
  write(t, "fork", fork(4242, 4244));
  write(t, "posix-spawn",
        bsm::RecordBuilder(bsm::AUE_POSIX_SPAWN, kTime)
            .subject32(subject(4242))
            .arg32(0, 4245, "child PID")
            .path("/usr/bin/vlc")
            .execArgs(std::vector<std::string_view>{"vlc"sv, "movie.mkv"sv})
            .subject32(subject(4245))
            .return32(0, 0)
            .finish());
  write(t, "exit",
        bsm::RecordBuilder(bsm::AUE_EXIT, kTime)
            .subject32(subject(4244))
            .exit(0, 0)
            .return32(0, 0)
            .finish());
  write(t, "kill-not-followed",
        bsm::RecordBuilder(bsm::AUE_KILL, kTime)
            .subject32(subject(4242))
            .arg32(1, 9, "signal")
            .process32(subject(4244))
            .return32(bsm::bsmError(1), static_cast<std::uint32_t>(-1))
            .finish());
  write(t, "execve-failed-odd-bytes",
        bsm::RecordBuilder(bsm::AUE_EXECVE, kTime)
            .subject32(subject(4246))
            .text("text token")
            .arg64(2, 0x1122334455667788ULL, "flags")
            .path("/tmp/\xff\xfe%s%n\nname")
            .execArgs(std::vector<std::string_view>{"\xc3\x28"sv, "ok"sv, ""sv})
            .return32(bsm::bsmError(13), static_cast<std::uint32_t>(-1))
            .finish());

  std::vector<std::string> many;
  many.reserve(130);
  for (int i = 0; i < 130; ++i) many.push_back("a" + std::to_string(i));
  std::vector<std::string_view> manyViews(many.begin(), many.end());
  write(t, "execve-130-args", execve(4247, "/usr/bin/env", manyViews));

  // An exec-arguments token that announces more strings than it holds.
  const Bytes shortArgs{bsm::AUT_EXEC_ARGS, 0, 0, 0, 5, 'a', 0, 'b', 0};
  write(t, "exec-args-count-exceeds-strings",
        bsm::RecordBuilder(bsm::AUE_EXECVE, kTime)
            .subject32(subject(4248))
            .path("/usr/bin/steam")
            .raw(shortArgs)
            .return32(0, 0)
            .finish());
  // A header whose size field claims 2 GiB, then a good record.
  Bytes huge = execve(4249, "/usr/bin/steam", {"steam"sv});
  huge[1] = 0x7f;
  huge[2] = huge[3] = huge[4] = 0xff;
  const Bytes good = execve(4250, "/usr/bin/true", {"true"sv});
  huge.insert(huge.end(), good.begin(), good.end());
  write(t, "header-claims-gigabytes", huge);

  // A stream: trail start, a fork and the child's exec, garbage, an exec, an
  // exit, trail end.
  Bytes stream = bsm::encodeFileToken(kTime, "20231114221320.not_terminated");
  auto append = [&stream](const Bytes& more) {
    stream.insert(stream.end(), more.begin(), more.end());
  };
  append(fork(100, 101));
  append(execve(101, "/usr/bin/steam", {"steam"sv}));
  append(Bytes{0x00, 0xff, 0x14, 0x7f, 0xff, 0xff, 0xff, 0x42});
  append(execve(102, "/usr/bin/true", {"true"sv}));
  append(bsm::RecordBuilder(bsm::AUE_EXIT, kTime)
             .subject32(subject(101))
             .exit(9, 0)
             .return32(0, 0)
             .finish());
  append(bsm::encodeFileToken(kTime, "20231114221320.20231114221321"));
  write(t, "stream", stream);
}

// ---- Argument areas ----

std::string pieces(std::uint8_t flags, std::string_view cmdline, std::string_view environment,
                   std::string_view path, std::uint16_t capacity = 0) {
  std::string out(1, static_cast<char>(flags));
  auto piece = [&out](std::string_view s) {
    out.push_back(static_cast<char>(s.size() >> 8));
    out.push_back(static_cast<char>(s.size() & 0xff));
    out.append(s);
  };
  piece(cmdline);
  if (flags & 1) piece(environment);
  piece(path);
  if (flags & 2) {
    out.push_back(static_cast<char>(capacity >> 8));
    out.push_back(static_cast<char>(capacity & 0xff));
  }
  return out;
}

void argumentAreaSeeds() {
  namespace procfs = procscope::platform::procfs;
  const std::string t = "argument-area";
  write(t, "area-ls",
        procfs::assembleArgumentArea("ls\0-l\0/tmp\0"sv, "HOME=/root\0PATH=/usr/bin\0"sv,
                                     "/usr/bin/ls"));
  write(t, "area-rewritten",
        procfs::assembleArgumentArea("nginx: worker process"sv, std::nullopt, "/usr/sbin/nginx"));
  write(t, "area-cut", procfs::assembleArgumentArea("a\0b\0c\0"sv, "X=1\0"sv, "/bin/x", 14));
  write(t, "pieces-plain", pieces(1, "ls\0-l\0"sv, "HOME=/root\0"sv, "/usr/bin/ls"));
  write(t, "pieces-empty-argument", pieces(0, "\0b\0\0"sv, ""sv, "/bin/odd"));
  write(t, "pieces-capacity", pieces(3, "vlc\0movie.mkv\0"sv, "LANG=C"sv, "/usr/bin/vlc", 20));
  write(t, "pieces-bytes", pieces(0, "\xff\xfe\0\xc3\x28\0"sv, ""sv, "/tmp/\x80"));
}

// ---- /proc text ----

std::string u32(std::uint32_t v) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xff));
  return out;
}

std::string laidOut(std::string_view comm, std::uint8_t state, std::uint32_t pid,
                    std::uint32_t ppid, std::string_view name, std::uint32_t uid) {
  std::string out;
  auto piece = [&out](std::string_view s) {
    out.push_back(static_cast<char>(s.size() >> 8));
    out.push_back(static_cast<char>(s.size() & 0xff));
    out.append(s);
  };
  piece(comm);
  out.push_back(static_cast<char>(state));
  out += u32(pid) + u32(ppid);
  piece(name);
  out += u32(uid) + u32(uid + 1) + u32(uid + 2) + u32(uid + 3);
  return out;
}

void procTextSeeds() {
  const std::string t = "proc-text";
  write(t, "stat",
        "4242 (bash) S 4200 4242 4242 34816 4300 4194304 2150 9872 0 0 3 1 7 2 20 0 1 0 "
        "123456 9121792 1331 18446744073709551615 1 1 0 0 0 0 65536 3686404 1266761467 0 0 0 "
        "17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n"sv);
  write(t, "stat-odd-comm",
        "77 (a) b) (c ) R 12 77 77 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 1 0 0\n"sv);
  write(t, "status",
        "Name:\tbash\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t4242\nNgid:\t0\n"
        "Pid:\t4242\nPPid:\t4200\nTracerPid:\t0\nUid:\t1000\t1001\t1002\t1003\n"
        "Gid:\t1000\t1000\t1000\t1000\nFDSize:\t256\nGroups:\t24 27 1000 \n"sv);
  write(t, "maps",
        "5581a000-5581b000 r--p 00000000 fe:01 1234    /usr/bin/a b\n"
        "7f00-7f01 rw-p 00000000 00:00 0 \n"
        "7f01-7f02 r--p 00000000 103:0a 99   /tmp/new\\012line (deleted)\n"
        "7ffd-7ffe r-xp 00000000 00:00 0                          [vdso]\n"sv);
  write(t, "laid-out", laidOut("bash", 1, 4242, 4200, "bash", 1000));
  write(t, "laid-out-odd", laidOut(") 1 (x) S 9", 3, 1, 0, "Uid:\t5\t6", 0));
}

// ---- Block lists ----

void blockListSeeds() {
  const std::string t = "block-list";
  write(t, "three", "Steam,Discord,vlc"sv);
  write(t, "spaces-and-empties", ",Steam , ,Discord,,\n"sv);
  write(t, "one", "Forbidden"sv);
  write(t, "not-ascii", "Steam,Caf\xc3\xa9"sv);
}

// ---- Property lists ----

plist_t infoDictionary() {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleName", plist_new_string("Forbidden"));
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("com.example.forbidden"));
  plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string("Forbidden"));
  plist_dict_set_item(dict, "CFBundleIconFile", plist_new_string("Forbidden"));
  plist_dict_set_item(dict, "LSUIElement", plist_new_bool(1));
  plist_dict_set_item(dict, "Count", plist_new_uint(42));
  plist_dict_set_item(dict, "Scale", plist_new_real(1.5));
  plist_dict_set_item(dict, "Built", plist_new_date(700000000, 5));
  plist_dict_set_item(dict, "Blob", plist_new_data("\x00\x01\xff", 3));
  plist_t list = plist_new_array();
  plist_array_append_item(list, plist_new_string("a"));
  plist_t inner = plist_new_dict();
  plist_dict_set_item(inner, "k", plist_new_string("v"));
  plist_array_append_item(list, inner);
  plist_dict_set_item(dict, "List", list);
  return dict;
}

void propertyListSeeds() {
  const std::string t = "property-list";
  plist_t dict = infoDictionary();
  char* text = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(dict, &text, &length);
  write(t, "info.xml", std::string_view(text, length));
  std::free(text);
  text = nullptr;
  length = 0;
  plist_to_bin(dict, &text, &length);
  if (text == nullptr) {
    std::fprintf(stderr, "libplist wrote no binary property list\n");
    std::exit(1);
  }
  write(t, "info.bplist", std::string_view(text, length));
  std::free(text);
  plist_free(dict);

  write(t, "nested.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
        "<array><array><dict><key>a</key><array/></dict></array></array>\n</plist>\n"sv);
  write(t, "not-a-dictionary.xml",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>"sv);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  outputRoot = argv[1];
  bsmSeeds();
  argumentAreaSeeds();
  procTextSeeds();
  blockListSeeds();
  propertyListSeeds();
  return 0;
}

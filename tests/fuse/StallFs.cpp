// A file system of one executable file that answers everything an exec needs
// and never answers LISTXATTR: whatever lists the file's extended attributes
// waits until this server dies (killing it aborts the connection and fails
// the request). Mounted by the end-to-end tests inside a private mount
// namespace only.
//
//   stallfs MOUNTPOINT NAME IMAGE [IDENTIFIER MILLISECONDS]
//
// serves MOUNTPOINT/NAME (mode 0755) with the contents of IMAGE. With an
// identifier it serves the bundle MOUNTPOINT/App.app instead, whose main
// executable Contents/MacOS/NAME is that file, and answers LISTXATTR (with
// no attributes) after MILLISECONDS, every request held up in the meantime.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr fuse_ino_t kFile = 2;
// The bundle's directories and property list, in bundle mode.
constexpr fuse_ino_t kApp = 3, kContents = 4, kInfo = 5, kMacOS = 6;

std::string name;
std::string image;
std::string info;  // the bundle's Info.plist; empty: no bundle
unsigned answerAfterMs = 0;

bool isDirectory(fuse_ino_t ino) {
  return ino == FUSE_ROOT_ID || ino == kApp || ino == kContents || ino == kMacOS;
}

struct stat attributesOf(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  if (isDirectory(ino)) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | (ino == kInfo ? 0644 : 0755);
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(ino == kInfo ? info.size() : image.size());
  }
  return st;
}

// The entry `entry` of directory `parent`, or 0.
fuse_ino_t child(fuse_ino_t parent, const std::string& entry) {
  if (info.empty()) return parent == FUSE_ROOT_ID && entry == name ? kFile : 0;
  if (parent == FUSE_ROOT_ID && entry == "App.app") return kApp;
  if (parent == kApp && entry == "Contents") return kContents;
  if (parent == kContents && entry == "Info.plist") return kInfo;
  if (parent == kContents && entry == "MacOS") return kMacOS;
  if (parent == kMacOS && entry == name) return kFile;
  return 0;
}

// Nothing is cached, so each inspection reaches the server.
void lookup(fuse_req_t req, fuse_ino_t parent, const char* entry) {
  const fuse_ino_t ino = child(parent, entry);
  if (ino == 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param e{};
  e.ino = ino;
  e.attr = attributesOf(ino);
  fuse_reply_entry(req, &e);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st = attributesOf(ino);
  fuse_reply_attr(req, &st, 0);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (isDirectory(ino)) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  const std::string& bytes = ino == kInfo ? info : image;
  const auto at = static_cast<size_t>(offset);
  if (at >= bytes.size()) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  fuse_reply_buf(req, bytes.data() + at, std::min(size, bytes.size() - at));
}

// The exec asks for security.capability: there is none.
void getxattr(fuse_req_t req, fuse_ino_t, const char*, size_t) {
  fuse_reply_err(req, ENODATA);
}

// Never answered; in bundle mode, answered late.
void listxattr(fuse_req_t req, fuse_ino_t, size_t size) {
  if (info.empty()) return;
  ::usleep(answerAfterMs * 1000);
  if (size == 0) {
    fuse_reply_xattr(req, 0);
  } else {
    fuse_reply_buf(req, nullptr, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: stallfs MOUNTPOINT NAME IMAGE [IDENTIFIER MILLISECONDS]\n");
    return 2;
  }
  name = argv[2];
  if (argc == 6) {
    info = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n") +
           "<dict>\n\t<key>CFBundleIdentifier</key>\n\t<string>" + argv[4] +
           "</string>\n\t<key>CFBundleExecutable</key>\n\t<string>" + name +
           "</string>\n</dict>\n</plist>\n";
    answerAfterMs = static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10));
  }
  std::ifstream in(argv[3], std::ios::binary);
  image.assign(std::istreambuf_iterator<char>(in), {});
  if (image.empty()) {
    std::fprintf(stderr, "stallfs: cannot read %s\n", argv[3]);
    return 1;
  }

  fuse_lowlevel_ops ops{};
  ops.lookup = lookup;
  ops.getattr = getattr;
  ops.open = open;
  ops.read = read;
  ops.getxattr = getxattr;
  ops.listxattr = listxattr;
  char program[] = "stallfs";
  char option[] = "-o";
  char fsname[] = "fsname=pbstallfs";
  char* fuseArgv[] = {program, option, fsname, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (!session || fuse_session_mount(session, argv[1]) != 0) {
    std::fprintf(stderr, "stallfs: cannot mount on %s\n", argv[1]);
    return 1;
  }
  // Ends only when killed; the kernel then unmounts with the namespace.
  return fuse_session_loop(session);
}

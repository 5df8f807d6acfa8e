// A file system of one executable file that answers everything an exec needs
// and never answers LISTXATTR: whatever lists the file's extended attributes
// waits until this server dies (killing it aborts the connection and fails
// the request). Mounted by the end-to-end tests inside a private mount
// namespace only.
//
//   stallfs MOUNTPOINT NAME IMAGE
//
// serves MOUNTPOINT/NAME (mode 0755) with the contents of IMAGE.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr fuse_ino_t kFile = 2;

std::string name;
std::string image;

struct stat attributesOf(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | 0755;
    st.st_nlink = 1;
    st.st_size = static_cast<off_t>(image.size());
  }
  return st;
}

// Nothing is cached, so each inspection reaches the server.
void lookup(fuse_req_t req, fuse_ino_t parent, const char* entry) {
  if (parent != FUSE_ROOT_ID || name != entry) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param e{};
  e.ino = kFile;
  e.attr = attributesOf(kFile);
  fuse_reply_entry(req, &e);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st = attributesOf(ino);
  fuse_reply_attr(req, &st, 0);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kFile) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  const auto at = static_cast<size_t>(offset);
  if (at >= image.size()) {
    fuse_reply_buf(req, nullptr, 0);
    return;
  }
  fuse_reply_buf(req, image.data() + at, std::min(size, image.size() - at));
}

// The exec asks for security.capability: there is none.
void getxattr(fuse_req_t req, fuse_ino_t, const char*, size_t) {
  fuse_reply_err(req, ENODATA);
}

// Never answered.
void listxattr(fuse_req_t, fuse_ino_t, size_t) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: stallfs MOUNTPOINT NAME IMAGE\n");
    return 2;
  }
  name = argv[2];
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

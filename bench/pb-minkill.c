/* pb-minkill LISTFILE: the minimal killer, the least work that anything
 * stopping listed programs from this source must do. It reads a block list in
 * the agent's format (entries separated by commas, nothing trimmed),
 * subscribes to the kernel's process-events connector as pb-listener does (no
 * filter), and for each exec reads /proc/<pid>/exe and compares its last path
 * component and the whole path with every entry; a match gets SIGKILL through
 * a pidfd. No ancestors, ids, attributes or logs: what the agent does beyond
 * this is what its cost is measured against.
 *
 * Prints "ready" once subscribed; on SIGTERM or SIGINT prints
 * "events=N execs=M killed=K overflows=O" and exits 0. Exits 1 when it cannot
 * read the list or subscribe. */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "pb-connector.h"

struct entry {
  const char* text;
  size_t size;
};
static struct entry* entries;
static size_t entryCount;

/* The list stays in one buffer; entries point into it (lengths, not NULs,
 * since an entry may be empty). */
static int readList(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  size_t cap = 4096, size = 0;
  char* text = malloc(cap);
  size_t n;
  while (text && (n = fread(text + size, 1, cap - size, f)) > 0) {
    size += n;
    if (size == cap) {
      char* bigger = realloc(text, cap *= 2);
      if (!bigger) free(text);
      text = bigger;
    }
  }
  fclose(f);
  if (!text) return -1;
  size_t commas = 0;
  for (size_t i = 0; i < size; ++i) commas += text[i] == ',';
  entries = calloc(commas + 1, sizeof *entries);
  if (!entries) return -1;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || text[i] == ',') {
      entries[entryCount].text = text + start;
      entries[entryCount].size = i - start;
      ++entryCount;
      start = i + 1;
    }
  }
  return 0;
}

static int listed(const char* path, size_t size) {
  const char* name = path + size;
  while (name > path && name[-1] != '/') --name;
  size_t nameSize = size - (size_t)(name - path);
  for (size_t i = 0; i < entryCount; ++i) {
    const struct entry* e = &entries[i];
    if (e->size == 0) continue;
    if ((e->size == nameSize && memcmp(e->text, name, nameSize) == 0) ||
        (e->size == size && memcmp(e->text, path, size) == 0))
      return 1;
  }
  return 0;
}

/* The pidfd is opened only on a match: the cheapest way there is. */
static int killPid(pid_t pid) {
  int fd = (int)syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) return 0;
  int ok = syscall(SYS_pidfd_send_signal, fd, SIGKILL, NULL, 0) == 0;
  close(fd);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s LISTFILE\n", argv[0]);
    return 2;
  }
  if (readList(argv[1]) != 0) {
    perror(argv[1]);
    return 1;
  }
  pbStopOnSignals();

  int fd = pbSubscribe(argv[0], 0);
  if (fd < 0) return 1;
  _Alignas(struct nlmsghdr) static char buf[64 * 1024];
  printf("ready\n");
  fflush(stdout);

  unsigned long long events = 0, execs = 0, killed = 0, overflows = 0;
  char exePath[32], exe[PATH_MAX];
  while (!pbStop) {
    ssize_t n = pbReceive(fd, buf, sizeof buf, &overflows);
    if (n < 0) break;
    for (struct nlmsghdr* h = (struct nlmsghdr*)buf; NLMSG_OK(h, (unsigned)n);
         h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_NOOP) continue;
      struct cn_msg* m = (struct cn_msg*)NLMSG_DATA(h);
      struct proc_event* e = (struct proc_event*)m->data;
      if (e->what == PROC_EVENT_NONE) continue;
      ++events;
      if (e->what != PROC_EVENT_EXEC) continue;
      ++execs;
      pid_t pid = e->event_data.exec.process_pid;
      snprintf(exePath, sizeof exePath, "/proc/%d/exe", (int)pid);
      ssize_t len = readlink(exePath, exe, sizeof exe);
      /* Gone already, or a path too long to be listed whole. */
      if (len <= 0 || (size_t)len >= sizeof exe) continue;
      if (listed(exe, (size_t)len) && killPid(pid)) ++killed;
    }
  }
  printf("events=%llu execs=%llu killed=%llu overflows=%llu\n", events, execs, killed, overflows);
  return 0;
}

/* pb-listener [--exec-only]: the bare listener. It subscribes to the kernel's
 * process-events connector exactly as the agent does (netlink, root only,
 * 16 MiB receive buffer) and discards every event: the floor that anything
 * watching this source costs the rest of the machine. With --exec-only it
 * asks the kernel (6.6 and later) to deliver exec events only, so forks and
 * exits no longer wake it.
 *
 * Prints "ready" once subscribed; on SIGTERM or SIGINT prints
 * "events=N overflows=M" and exits 0. Exits 1 when it cannot subscribe. */
#include <errno.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pb-connector.h"

int main(int argc, char** argv) {
  int execOnly = argc == 2 && strcmp(argv[1], "--exec-only") == 0;
  if (argc > 2 || (argc == 2 && !execOnly)) {
    fprintf(stderr, "usage: %s [--exec-only]\n", argv[0]);
    return 2;
  }
  pbStopOnSignals();

  int fd = pbSubscribe(argv[0], execOnly ? PROC_EVENT_EXEC : 0);
  if (fd < 0) return 1;
  _Alignas(struct nlmsghdr) static char buf[64 * 1024];
  printf("ready\n");
  fflush(stdout);

  unsigned long long events = 0, overflows = 0;
  while (!pbStop) {
    ssize_t n = pbReceive(fd, buf, sizeof buf, &overflows);
    if (n < 0) break;
    for (struct nlmsghdr* h = (struct nlmsghdr*)buf; NLMSG_OK(h, (unsigned)n);
         h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_NOOP) continue;
      struct cn_msg* m = (struct cn_msg*)NLMSG_DATA(h);
      if (((struct proc_event*)m->data)->what != PROC_EVENT_NONE) ++events;
    }
  }
  printf("events=%llu overflows=%llu\n", events, overflows);
  return 0;
}

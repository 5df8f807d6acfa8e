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

/* The subscription with an event-type filter; older headers lack it. */
struct listenWithFilter {
  uint32_t op;
  uint32_t eventTypes;
};

static volatile sig_atomic_t stop;
static void onSignal(int sig) {
  (void)sig;
  stop = 1;
}

int main(int argc, char** argv) {
  int execOnly = argc == 2 && strcmp(argv[1], "--exec-only") == 0;
  if (argc > 2 || (argc == 2 && !execOnly)) {
    fprintf(stderr, "usage: %s [--exec-only]\n", argv[0]);
    return 2;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal; /* no SA_RESTART: recv returns EINTR */
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  int fd = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  int size = 16 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  struct sockaddr_nl addr;
  memset(&addr, 0, sizeof addr);
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = CN_IDX_PROC;
  if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    perror("bind");
    return 1;
  }

  _Alignas(struct nlmsghdr) char
      req[NLMSG_SPACE(sizeof(struct cn_msg) + sizeof(struct listenWithFilter))];
  memset(req, 0, sizeof req);
  const size_t opSize = execOnly ? sizeof(struct listenWithFilter) : sizeof(uint32_t);
  struct nlmsghdr* hdr = (struct nlmsghdr*)req;
  hdr->nlmsg_len = NLMSG_LENGTH(sizeof(struct cn_msg) + opSize);
  hdr->nlmsg_type = NLMSG_DONE;
  struct cn_msg* msg = (struct cn_msg*)NLMSG_DATA(hdr);
  msg->id.idx = CN_IDX_PROC;
  msg->id.val = CN_VAL_PROC;
  msg->len = (uint16_t)opSize;
  struct listenWithFilter op = {PROC_CN_MCAST_LISTEN, PROC_EVENT_EXEC};
  memcpy(msg->data, &op, opSize);
  if (send(fd, req, hdr->nlmsg_len, 0) != (ssize_t)hdr->nlmsg_len) {
    perror("send");
    return 1;
  }

  _Alignas(struct nlmsghdr) static char buf[64 * 1024];
  /* The kernel acknowledges a plain subscription with an event of kind
   * "none"; a filtered one may filter its own acknowledgement away. */
  int acknowledged = 0;
  for (int tries = 0; tries < 10 && !acknowledged; ++tries) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    struct nlmsghdr* h = (struct nlmsghdr*)buf;
    if (!NLMSG_OK(h, (unsigned)n)) continue;
    struct cn_msg* m = (struct cn_msg*)NLMSG_DATA(h);
    struct proc_event* e = (struct proc_event*)m->data;
    if (e->what == PROC_EVENT_NONE && m->ack == 1) acknowledged = 1;
  }
  if (!acknowledged && !execOnly) {
    fprintf(stderr, "%s: the kernel did not acknowledge the subscription\n", argv[0]);
    return 1;
  }
  printf("ready\n");
  fflush(stdout);

  unsigned long long events = 0, overflows = 0;
  while (!stop) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == ENOBUFS)
        ++overflows;
      else if (errno != EINTR)
        break;
      continue;
    }
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

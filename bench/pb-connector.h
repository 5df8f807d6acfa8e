/* The subscription to the kernel's process-events connector that the bench
 * listeners share: netlink, root only, a 16 MiB receive buffer, and (with
 * eventTypes non-zero, Linux 6.6 and later) the kernel's event-type filter.
 * Waits for the kernel's acknowledgement, which a filtered subscription may
 * filter away. Returns the socket, or -1 with the reason on stderr. */
#ifndef PB_CONNECTOR_H
#define PB_CONNECTOR_H

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
struct pbListenWithFilter {
  uint32_t op;
  uint32_t eventTypes;
};

static int pbSubscribe(const char* program, uint32_t eventTypes) {
  int fd = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd < 0) {
    perror("socket");
    return -1;
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
    close(fd);
    return -1;
  }

  _Alignas(struct nlmsghdr) char
      req[NLMSG_SPACE(sizeof(struct cn_msg) + sizeof(struct pbListenWithFilter))];
  memset(req, 0, sizeof req);
  const size_t opSize = eventTypes ? sizeof(struct pbListenWithFilter) : sizeof(uint32_t);
  struct nlmsghdr* hdr = (struct nlmsghdr*)req;
  hdr->nlmsg_len = NLMSG_LENGTH(sizeof(struct cn_msg) + opSize);
  hdr->nlmsg_type = NLMSG_DONE;
  struct cn_msg* msg = (struct cn_msg*)NLMSG_DATA(hdr);
  msg->id.idx = CN_IDX_PROC;
  msg->id.val = CN_VAL_PROC;
  msg->len = (uint16_t)opSize;
  struct pbListenWithFilter op = {PROC_CN_MCAST_LISTEN, eventTypes};
  memcpy(msg->data, &op, opSize);
  if (send(fd, req, hdr->nlmsg_len, 0) != (ssize_t)hdr->nlmsg_len) {
    perror("send");
    close(fd);
    return -1;
  }

  _Alignas(struct nlmsghdr) char buf[4096];
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
  if (!acknowledged && !eventTypes) {
    fprintf(stderr, "%s: the kernel did not acknowledge the subscription\n", program);
    close(fd);
    return -1;
  }
  return fd;
}

/* The next datagram into buf: its size, 0 to go round again (interrupted,
 * or an overflow, which is counted), or -1 when the socket has failed. */
static ssize_t pbReceive(int fd, char* buf, size_t size, unsigned long long* overflows) {
  ssize_t n = recv(fd, buf, size, 0);
  if (n >= 0) return n;
  if (errno == ENOBUFS) {
    ++*overflows;
    return 0;
  }
  return errno == EINTR ? 0 : -1;
}

/* Set by SIGTERM or SIGINT, which interrupt a waiting recv (no SA_RESTART). */
static volatile sig_atomic_t pbStop;
static void pbOnStopSignal(int sig) {
  (void)sig;
  pbStop = 1;
}
static void pbStopOnSignals(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = pbOnStopSignal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
}

#endif

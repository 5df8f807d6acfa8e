/* pb-driver PROGRAM COUNT RATE LIMIT_MS
 *
 * Starts COUNT copies of PROGRAM (the test program, pb-victim.c), RATE per
 * second, each in a session of its own, and measures how long each lives:
 * from just before execve (CLOCK_MONOTONIC, read in the child after fork)
 * to the moment its pidfd becomes readable. Each copy gets its index as
 * argv[1] and a pipe as file descriptor 3, on which it reports that it
 * reached main. A copy still alive LIMIT_MS after its execve is killed by the
 * driver and counted as a survivor (its lifetime counts as unbounded).
 *
 * Prints one line of key=value pairs: copies, died, survivors, reached_main,
 * exec_failed, denied, and p50_us, p90_us, p99_us, max_us (-1 for unbounded).
 * A copy whose exec failed with EPERM (the agent's deny mode) counts as
 * denied; its lifetime ends when its exec failed. Exits 0 when every copy was
 * started and accounted for, 1 when the harness itself failed (a copy could
 * not be started, exec failed otherwise, a timestamp is missing). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

enum { kNotStarted, kAlive, kDead };

static int64_t nowNs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int pidfdOpen(pid_t pid) {
  return (int)syscall(SYS_pidfd_open, pid, 0);
}

static int pidfdSignal(int fd, int sig) {
  return (int)syscall(SYS_pidfd_send_signal, fd, sig, NULL, 0);
}

static int compareLifetimes(const void* a, const void* b) {
  int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
  return x < y ? -1 : x > y;
}

/* Nearest rank; INT64_MAX (a survivor) prints as -1. */
static double percentileUs(const int64_t* sorted, long n, double p) {
  long rank = (long)(p * (double)n + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > n) rank = n;
  int64_t v = sorted[rank - 1];
  return v == INT64_MAX ? -1.0 : (double)v / 1000.0;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s PROGRAM COUNT RATE LIMIT_MS\n", argv[0]);
    return 2;
  }
  const char* program = argv[1];
  const long count = strtol(argv[2], NULL, 10);
  const long rate = strtol(argv[3], NULL, 10);
  const long limitMs = strtol(argv[4], NULL, 10);
  if (count < 1 || count > 1000000 || rate < 1 || rate > 100000 || limitMs < 1) {
    fprintf(stderr, "%s: bad arguments\n", argv[0]);
    return 2;
  }

  /* Written by the children just before execve. */
  int64_t* beforeExec = mmap(NULL, (size_t)count * sizeof(int64_t), PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  int64_t* death = calloc((size_t)count, sizeof(int64_t));
  int* pidfd = malloc((size_t)count * sizeof(int));
  char* state = calloc((size_t)count, 1);
  char* survivor = calloc((size_t)count, 1);
  char* reached = calloc((size_t)count, 1);
  if (beforeExec == MAP_FAILED || !death || !pidfd || !state || !survivor || !reached) {
    perror("allocation");
    return 1;
  }
  int notes[2];
  if (pipe2(notes, O_CLOEXEC) != 0 || fcntl(notes[0], F_SETFL, O_NONBLOCK) != 0) {
    perror("pipe");
    return 1;
  }
  int ep = epoll_create1(EPOLL_CLOEXEC);
  struct epoll_event ev = {.events = EPOLLIN, .data.u64 = UINT64_MAX};
  if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, notes[0], &ev) != 0) {
    perror("epoll");
    return 1;
  }

  char index[32];
  char* childArgv[] = {(char*)program, index, NULL};
  const int64_t period = 1000000000 / rate;
  const int64_t limit = (int64_t)limitMs * 1000000;
  const int64_t start = nowNs() + 20000000;
  long spawned = 0, alive = 0, oldest = 0, execFailed = 0, denied = 0, broken = 0;
  struct epoll_event events[64];

  while (spawned < count || alive > 0) {
    int64_t t = nowNs();
    if (spawned < count && t >= start + spawned * period) {
      long i = spawned++;
      snprintf(index, sizeof index, "%ld", i);
      pid_t pid = fork();
      if (pid == 0) {
        setsid();
        dup2(notes[1], 3);
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        beforeExec[i] = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
        execv(program, childArgv);
        _exit(errno == EPERM ? 126 : 127);
      }
      if (pid < 0 || (pidfd[i] = pidfdOpen(pid)) < 0) {
        perror("fork or pidfd_open");
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, NULL, 0);
        broken = 1;
        break;
      }
      ev.data.u64 = (uint64_t)i;
      if (epoll_ctl(ep, EPOLL_CTL_ADD, pidfd[i], &ev) != 0) {
        perror("epoll_ctl");
        pidfdSignal(pidfd[i], SIGKILL);
        waitpid(pid, NULL, 0);
        broken = 1;
        break;
      }
      state[i] = kAlive;
      ++alive;
      continue;
    }
    /* Copies past the limit are killed here; their death is still awaited. */
    while (oldest < spawned && state[oldest] != kAlive) ++oldest;
    for (long i = oldest; i < spawned; ++i) {
      if (state[i] != kAlive || survivor[i]) continue;
      if (beforeExec[i] == 0 || t - beforeExec[i] < limit) break;
      survivor[i] = 1;
      pidfdSignal(pidfd[i], SIGKILL);
    }
    int timeoutMs = 10;
    if (spawned < count) {
      int64_t wait = start + spawned * period - t;
      timeoutMs = wait <= 0 ? 0 : (int)((wait + 999999) / 1000000);
    }
    int n = epoll_wait(ep, events, 64, timeoutMs);
    if (n < 0 && errno != EINTR) {
      perror("epoll_wait");
      broken = 1;
      break;
    }
    const int64_t seen = nowNs();
    for (int k = 0; k < n; ++k) {
      uint64_t i = events[k].data.u64;
      if (i == UINT64_MAX) {
        int64_t note[2];
        while (read(notes[0], note, sizeof note) == (ssize_t)sizeof note) {
          if (note[0] >= 0 && note[0] < count) reached[note[0]] = 1;
        }
        continue;
      }
      if (state[i] != kAlive) continue;
      death[i] = seen;
      siginfo_t info;
      memset(&info, 0, sizeof info);
      if (waitid((idtype_t)P_PIDFD, (id_t)pidfd[i], &info, WEXITED) == 0 &&
          info.si_code == CLD_EXITED && (info.si_status == 127 || info.si_status == 126)) {
        if (info.si_status == 126) {
          ++denied;
        } else {
          ++execFailed;
        }
      }
      close(pidfd[i]);
      state[i] = kDead;
      --alive;
    }
  }
  /* Every copy has ended, so every note it wrote is in the pipe. */
  int64_t note[2];
  while (read(notes[0], note, sizeof note) == (ssize_t)sizeof note) {
    if (note[0] >= 0 && note[0] < count) reached[note[0]] = 1;
  }
  if (broken) {
    for (long i = 0; i < spawned; ++i) {
      if (state[i] == kAlive) {
        pidfdSignal(pidfd[i], SIGKILL);
        siginfo_t info;
        waitid((idtype_t)P_PIDFD, (id_t)pidfd[i], &info, WEXITED);
      }
    }
    return 1;
  }

  int64_t* lifetimes = malloc((size_t)count * sizeof(int64_t));
  long survivors = 0, reachedMain = 0;
  for (long i = 0; i < count; ++i) {
    if (beforeExec[i] == 0) broken = 1;
    survivors += survivor[i];
    reachedMain += reached[i];
    lifetimes[i] = survivor[i] ? INT64_MAX : death[i] - beforeExec[i];
  }
  qsort(lifetimes, (size_t)count, sizeof(int64_t), compareLifetimes);
  printf(
      "copies=%ld died=%ld survivors=%ld reached_main=%ld exec_failed=%ld denied=%ld "
      "p50_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f\n",
      count, count - survivors, survivors, reachedMain, execFailed, denied,
      percentileUs(lifetimes, count, 0.50), percentileUs(lifetimes, count, 0.90),
      percentileUs(lifetimes, count, 0.99), percentileUs(lifetimes, count, 1.0));
  return broken || execFailed ? 1 : 0;
}

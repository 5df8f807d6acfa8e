/* pb-threadstorm SECONDS: starts and joins threads, one after another, for
 * at most SECONDS (or until killed). Each thread is a fork and an exit event
 * of the kernel's process events: the cheapest way to overflow a stopped
 * listener's socket. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void* nothing(void* arg) {
  return arg;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
    return 2;
  }
  const long seconds = strtol(argv[1], NULL, 10);
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long round = 0;; ++round) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, nothing, NULL) == 0) pthread_join(thread, NULL);
    if (round % 1000 == 0) {
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec - start.tv_sec >= seconds) break;
    }
  }
  return 0;
}

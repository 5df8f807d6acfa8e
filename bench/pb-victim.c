/* The forbidden test program of the lifetime benchmark (run-all copies it to
 * a unique short name). The first thing main does is read CLOCK_MONOTONIC and
 * send {copy index, nanoseconds} to file descriptor 3, a pipe the driver
 * reads; then it sleeps. It ends by itself after 30 s at the latest, so no
 * copy outlives a harness that died. */
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t note[2] = {argc > 1 ? strtoll(argv[1], NULL, 10) : -1,
                     (int64_t)now.tv_sec * 1000000000 + now.tv_nsec};
  if (write(3, note, sizeof note) < 0) return 2;
  sleep(30);
  return 0;
}

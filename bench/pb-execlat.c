/* pb-execlat N: N times fork and execve this same program (by the path it
 * was started with), whose main reads CLOCK_MONOTONIC first thing and sends
 * it back on file descriptor 3; the child reads the clock just before its
 * execve. Prints "execs=N p50_us=... p90_us=... max_us=...": what one allowed
 * exec takes from the execve call to the new program's main, which is where
 * a listener that must answer before the exec goes on shows. Exits 1 when an
 * exec failed or a reading is missing. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int64_t nowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int compare(const void* a, const void* b) {
  const int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
  const int64_t reached = nowNs();
  if (argc == 2 && strcmp(argv[1], "--child") == 0) {
    return write(3, &reached, sizeof reached) == (ssize_t)sizeof reached ? 0 : 1;
  }
  if (argc != 2) {
    fprintf(stderr, "usage: %s N\n", argv[0]);
    return 2;
  }
  const long n = strtol(argv[1], NULL, 10);
  if (n <= 0) return 2;
  /* Written by each child just before its execve. */
  int64_t* before =
      mmap(NULL, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  int64_t* took = malloc((size_t)n * sizeof(int64_t));
  if (before == MAP_FAILED || !took) return 1;
  char* childArgv[] = {argv[0], "--child", NULL};
  for (long i = 0; i < n; ++i) {
    int notes[2];
    if (pipe(notes) != 0) return 1;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(notes[1], 3);
      *before = nowNs();
      execv(argv[0], childArgv);
      _exit(127);
    }
    close(notes[1]);
    int64_t inMain = 0;
    const ssize_t got = pid > 0 ? read(notes[0], &inMain, sizeof inMain) : -1;
    close(notes[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got != (ssize_t)sizeof inMain) {
      fprintf(stderr, "%s: exec %ld failed\n", argv[0], i);
      return 1;
    }
    took[i] = inMain - *before;
  }
  qsort(took, (size_t)n, sizeof(int64_t), compare);
  printf("execs=%ld p50_us=%.1f p90_us=%.1f max_us=%.1f\n", n, took[n / 2] / 1000.0,
         took[(n * 9) / 10] / 1000.0, took[n - 1] / 1000.0);
  return 0;
}

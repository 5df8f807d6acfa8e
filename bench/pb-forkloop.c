/* pb-forkloop N [PROGRAM]: N times fork, execve PROGRAM (default /bin/true)
 * in the child and wait for it; prints the wall time in seconds. The cost
 * that process-event listeners add to everyone else shows up here: every
 * round trip is one fork, one exec and one exit. Exits 1 when a child could
 * not be started or did not end with status 0. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s N [PROGRAM]\n", argv[0]);
    return 2;
  }
  const long n = strtol(argv[1], NULL, 10);
  char* program = argc == 3 ? argv[2] : "/bin/true";
  char* childArgv[] = {program, NULL};
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (long i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      execve(program, childArgv, environ);
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      fprintf(stderr, "%s: round %ld failed\n", argv[0], i);
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%.6f\n", (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9);
  return 0;
}

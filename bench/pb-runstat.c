/* pb-runstat OUT PROGRAM [ARGS...]: runs PROGRAM and, when it has ended,
 * writes "maxrss_kib=K cpu_s=S status=X" to the file OUT: its peak resident
 * set, its user plus system CPU time and its exit status. Exits with the
 * program's status (1 when it did not end normally). */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUT PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage use;
  if (pid < 0 || wait4(pid, &status, 0, &use) != pid) {
    perror("wait4");
    return 1;
  }
  FILE* out = fopen(argv[1], "w");
  if (!out) {
    perror(argv[1]);
    return 1;
  }
  double cpu = (double)use.ru_utime.tv_sec + (double)use.ru_utime.tv_usec / 1e6 +
               (double)use.ru_stime.tv_sec + (double)use.ru_stime.tv_usec / 1e6;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  fprintf(out, "maxrss_kib=%ld cpu_s=%.3f status=%d\n", use.ru_maxrss, cpu, code);
  fclose(out);
  return code;
}

/* Runs a program once with standard input from IN and standard output to
 * OUT, and prints its wall time in microseconds and its peak RSS in KiB
 * (wait4), so the caller's own start-up is never measured.
 * Usage: run IN OUT PROGRAM [ARG...] */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: run IN OUT PROGRAM [ARG...]\n");
    return 2;
  }
  int in = open(argv[1], O_RDONLY);
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    perror("open");
    return 2;
  }
  struct timespec start, stop;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  clock_gettime(CLOCK_MONOTONIC, &stop);
  long long us = (stop.tv_sec - start.tv_sec) * 1000000LL + (stop.tv_nsec - start.tv_nsec) / 1000;
  printf("%lld %ld %d\n", us, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}

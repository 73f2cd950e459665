// Runs a program once as a whole process, the way a web server runs a CGI
// program, and prints what that cost:
//
//   bench_timer [-i INPUT] [-o OUTPUT] PROGRAM [ARG...]
//
// The program inherits this process's environment; its standard input is
// INPUT (default /dev/null) and its standard output a pipe that the timer
// drains, copying it to OUTPUT when given. Standard error is inherited.
// Prints one line on standard output:
//
//   <µs to exit> <µs to end of output> <peak RSS in KiB> <bytes> <status>
//   <CPU µs>
//
// Both times run from just before the fork; the first ends when wait4 has
// reaped the program, the second when its output pipe reported end of file
// (all writers closed it). The peak resident set size is the program's
// ru_maxrss, its CPU time the user and system time of its rusage. The status
// is the exit code, or 128 plus the signal number.
// Exits 0 when the measurement was taken, 2 on a usage or system error.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Output is read in pieces of this size, as large as a pipe holds at most by
// default, so the program rarely waits for the timer.
#define READ_SIZE (1 << 16)

static void Die(const char* what) {
  fprintf(stderr, "bench_timer: %s: %s\n", what, strerror(errno));
  exit(2);
}

static long long NowMicros(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) Die("clock_gettime");
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static long long Micros(const struct timeval* tv) {
  return (long long)tv->tv_sec * 1000000 + tv->tv_usec;
}

// Writes all `n` bytes of `data` to `fd`.
static void WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) Die("write");
    data += w;
    n -= (size_t)w;
  }
}

// Becomes the measured program, its standard input `input` and its standard
// output the pipe's write end. Never returns.
static void RunChild(const char* input, int pipe_read, int pipe_write,
                     char** argv) {
  int in = open(input, O_RDONLY);
  if (in < 0 || dup2(in, STDIN_FILENO) < 0 ||
      dup2(pipe_write, STDOUT_FILENO) < 0) {
    fprintf(stderr, "bench_timer: cannot set up %s: %s\n", input,
            strerror(errno));
    _exit(127);
  }
  close(in);
  close(pipe_read);
  close(pipe_write);
  execvp(argv[0], argv);
  fprintf(stderr, "bench_timer: cannot run %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}

// Reads the pipe until end of file, copying to `out` unless it is negative.
// Returns the number of bytes read.
static long long Drain(int fd, int out) {
  static char buffer[READ_SIZE];
  long long total = 0;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Die("read");
    if (n == 0) return total;
    if (out >= 0) WriteAll(out, buffer, (size_t)n);
    total += n;
  }
}

static void Usage(void) {
  fprintf(stderr,
          "usage: bench_timer [-i INPUT] [-o OUTPUT] PROGRAM [ARG...]\n");
  exit(2);
}

int main(int argc, char** argv) {
  const char* input = "/dev/null";
  const char* output = NULL;
  int opt;
  while ((opt = getopt(argc, argv, "+i:o:")) != -1) {
    if (opt == 'i') {
      input = optarg;
    } else if (opt == 'o') {
      output = optarg;
    } else {
      Usage();
    }
  }
  if (optind >= argc) Usage();

  int out = -1;
  if (output != NULL) {
    out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) Die(output);
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Die("pipe");

  long long start = NowMicros();
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) RunChild(input, fds[0], fds[1], argv + optind);
  close(fds[1]);
  long long bytes = Drain(fds[0], out);
  long long end_of_output = NowMicros();
  int status;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) Die("wait4");
  }
  long long end = NowMicros();
  close(fds[0]);
  if (out >= 0 && close(out) != 0) Die(output);

  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  long long cpu = Micros(&usage.ru_utime) + Micros(&usage.ru_stime);
  printf("%lld %lld %ld %lld %d %lld\n", end - start, end_of_output - start,
         usage.ru_maxrss, bytes, code, cpu);
  return 0;
}

// Start-up of whole runs, the programs' runs interleaved so that the
// machine's changing load falls on all of them alike:
//   startup_bench ROUNDS PROGRAM...
// Prints each program's lower quartile and median, in ms and as a multiple
// of the first program's.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

// One run of `program` with no arguments, its output thrown away; in ms.
double TimeRun(char* program, const posix_spawn_file_actions_t& quiet) {
  char* argv[] = {program, nullptr};
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, program, &quiet, nullptr, argv, environ) != 0) {
    perror(program);
    exit(1);
  }
  int status;
  waitpid(pid, &status, 0);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int rounds = atoi(argv[1]);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::vector<double>> times(argc - 2);
  for (int round = 0; round < rounds; ++round) {
    for (int i = 2; i < argc; ++i) times[i - 2].push_back(TimeRun(argv[i], quiet));
  }
  double floor = 0;
  for (size_t i = 0; i < times.size(); ++i) {
    std::sort(times[i].begin(), times[i].end());
    double quartile = times[i][rounds / 4], median = times[i][rounds / 2];
    if (i == 0) floor = quartile;
    printf("%-40s quartile %.3f ms (%.2f x), median %.3f ms\n", argv[i + 2], quartile,
           quartile / floor, median);
  }
}

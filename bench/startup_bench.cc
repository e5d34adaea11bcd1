// Start-up of whole runs, the programs' runs interleaved so that the
// machine's changing load falls on all of them alike:
//   startup_bench ROUNDS COMMAND...
// A COMMAND is a program, or LABEL::WORDS: the words separated by "|", the
// first of them NAME=VALUE settings of the environment, then the program
// and its arguments. Prints each command's lower quartile, median and mean,
// in ms, the quartile and the mean also as multiples of the first command's.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

struct Command {
  std::string label;
  std::vector<std::string> env, argv;
};

Command Parse(const std::string& text) {
  Command command;
  size_t label = text.find("::");
  command.label = label == std::string::npos ? text : text.substr(0, label);
  std::string words = label == std::string::npos ? text : text.substr(label + 2);
  for (size_t at = 0; at <= words.size();) {
    size_t end = std::min(words.find('|', at), words.size());
    std::string word = words.substr(at, end - at);
    bool setting = command.argv.empty() && word.find('=') != std::string::npos;
    (setting ? command.env : command.argv).push_back(word);
    at = end + 1;
  }
  for (char** e = environ; *e != nullptr; ++e) command.env.push_back(*e);
  return command;
}

// One run of `command`, its output thrown away; in ms.
double TimeRun(const Command& command, const posix_spawn_file_actions_t& quiet) {
  std::vector<char*> argv, envp;
  for (const std::string& word : command.argv) argv.push_back(const_cast<char*>(word.c_str()));
  for (const std::string& word : command.env) envp.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), envp.data()) != 0) {
    perror(argv[0]);
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
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  std::vector<Command> commands;
  for (int i = 2; i < argc; ++i) commands.push_back(Parse(argv[i]));
  std::vector<std::vector<double>> times(commands.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < commands.size(); ++i) times[i].push_back(TimeRun(commands[i], quiet));
  }
  double floor = 0, floor_mean = 0;
  for (size_t i = 0; i < times.size(); ++i) {
    std::sort(times[i].begin(), times[i].end());
    double quartile = times[i][rounds / 4], median = times[i][rounds / 2], mean = 0;
    for (double t : times[i]) mean += t / rounds;
    if (i == 0) floor = quartile, floor_mean = mean;
    printf("%-40s quartile %.3f ms (%.2f x), median %.3f ms, mean %.3f ms (%.2f x)\n",
           commands[i].label.c_str(), quartile, quartile / floor, median, mean, mean / floor_mean);
  }
}

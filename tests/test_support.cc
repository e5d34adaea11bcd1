#include "tests/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/kovalset-test.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  RunProcess({"chmod", "-R", "u+rwx", path_}, {});
  RunProcess({"rm", "-rf", path_}, {});
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::string Drain(int fd) {
  std::string data;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) data.append(buffer, n);
  return data;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& output_path) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& setting : env) {
      size_t equals = setting.find('=');
      if (equals == std::string::npos) {
        unsetenv(setting.c_str());
      } else {
        setenv(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1, 1);
      }
    }
    int out = output_path.empty() ? out_pipe[1] : open(output_path.c_str(), O_WRONLY);
    dup2(out, 1);
    dup2(output_path.empty() ? err_pipe[1] : out, 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ProcessResult result;
  result.out = Drain(out_pipe[0]);  // the program's output is small: no deadlock
  result.err = Drain(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wait_status;
  waitpid(pid, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result;
}

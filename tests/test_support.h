// Helpers for tests that touch real files and processes.
#ifndef TESTS_TEST_SUPPORT_H_
#define TESTS_TEST_SUPPORT_H_

#include <sys/types.h>

#include <string>
#include <vector>

// A fresh folder, removed with everything in it when it goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// The names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

struct ProcessResult {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out, err;
};

// Starts `argv` with `env` added to this process's environment ("NAME=value";
// "NAME" alone removes it), its stdout and stderr on the descriptors given.
pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int out_fd, int err_fd);
// Waits for it; its exit status, or -1 when it did not exit normally.
int WaitProcess(pid_t pid);

// Runs `argv` with `env` added to this process's environment ("NAME=value";
// "NAME" alone removes it). Its stdout and stderr are captured, or both go to
// `output_path` when that is given.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& output_path = "");

#endif  // TESTS_TEST_SUPPORT_H_

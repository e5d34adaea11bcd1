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
// The names in a folder, sorted; and every path below it, in the order of
// a walk, links not followed.
std::vector<std::string> ListFolder(const std::string& path);
std::vector<std::string> ListTree(const std::string& path);

// Lays out `layout` in the folder `dir`: entries between spaces, each a path
// below `dir` and what it is: a folder ("a/"), a file ("a", empty, or "a="
// holding `content`) or a symlink ("a->target", where '#' stands for
// `dir`); then ":MODE" in octal and ":UID" or ":UID.GID", where given.
void MakeLayout(const std::string& dir, const std::string& layout, const std::string& content = "");

// Filler: the keys of other software that stand around the settings in a
// big store. Key `i` is Software\Filler\Group (i / 100)\Key i (here below
// Software), with a text "Name" padded to `bytes` at least.
std::string FillerKey(size_t i);
std::string FillerName(size_t i, size_t bytes = 0);
// The first `keys` filler keys as the sections of a .reg text, about 100
// bytes a key.
std::string FillerText(size_t keys, size_t bytes = 0);

// The bytes of `text` (UTF-8) as UTF-16LE.
std::string Utf16Of(const std::string& text);
// A REGEDIT4 text as regedit exports it: version 5, UTF-16LE behind its
// byte-order mark.
std::string Regedit5Utf16(std::string regedit4);

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

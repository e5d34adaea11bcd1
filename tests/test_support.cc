#include "tests/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fileregistry/unicode/utf16.h"

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

std::vector<std::string> ListTree(const std::string& path) {
  std::vector<std::string> paths;
  for (const std::string& name : ListFolder(path)) {
    paths.push_back(name);
    struct stat st = {};
    if (lstat((path + "/" + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    for (const std::string& below : ListTree(path + "/" + name))
      paths.push_back(name + "/" + below);
  }
  return paths;
}

void MakeLayout(const std::string& dir, const std::string& layout, const std::string& content) {
  std::istringstream entries(layout);
  for (std::string entry; entries >> entry;) {
    std::istringstream fields(entry);
    std::vector<std::string> parts;  // what it is, its mode, its owner
    for (std::string part; std::getline(fields, part, ':');) parts.push_back(part);
    std::string path = dir + "/" + parts[0];
    size_t arrow = path.find("->");
    if (arrow != std::string::npos) {
      std::string target = path.substr(arrow + 2);
      if (target[0] == '#') target.replace(0, 1, dir);
      path.resize(arrow);
      EXPECT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
    } else if (path.back() == '/') {
      path.pop_back();
      EXPECT_EQ(0, mkdir(path.c_str(), 0755)) << path;
    } else {
      bool full = path.back() == '=';
      if (full) path.pop_back();
      WriteFile(path, full ? content : "");
    }
    if (parts.size() > 2) {
      size_t dot = parts[2].find('.');
      uid_t uid = std::stoul(parts[2]);
      gid_t gid = dot != std::string::npos ? std::stoul(parts[2].substr(dot + 1)) : uid;
      EXPECT_EQ(0, lchown(path.c_str(), uid, gid)) << path;
    }
    if (parts.size() > 1 && !parts[1].empty())
      chmod(path.c_str(), std::stoul(parts[1], nullptr, 8));
  }
}

std::string FillerKey(size_t i) {
  return "Filler\\Group " + std::to_string(i / 100) + "\\Key " + std::to_string(i);
}

std::string FillerName(size_t i, size_t bytes) {
  std::string text = "A value of other software " + std::to_string(i);
  if (text.size() < bytes) text.resize(bytes, '.');
  return text;
}

std::string FillerText(size_t keys, size_t bytes) {
  std::string text;
  for (size_t i = 0; i < keys; ++i) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\" + FillerKey(i) + "]\n\"Name\"=\"" +
            FillerName(i, bytes) + "\"\n\n";
  }
  return text;
}

std::string Utf16Of(const std::string& text) {
  std::string utf16;
  EXPECT_TRUE(fileregistry::Utf8ToUtf16(text, &utf16));
  return utf16;
}

std::string Regedit5Utf16(std::string regedit4) {
  return "\xff\xfe" + Utf16Of(regedit4.replace(0, 8, "Windows Registry Editor Version 5.00"));
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

pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int out_fd, int err_fd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& setting : env) {
    size_t equals = setting.find('=');
    if (equals == std::string::npos) {
      unsetenv(setting.c_str());
    } else {
      setenv(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1, 1);
    }
  }
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  close_range(3, ~0u, 0);  // the program starts with what a shell would give it
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int WaitProcess(pid_t pid) {
  int wait_status;
  waitpid(pid, &wait_status, 0);
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& output_path) {
  ProcessResult result;
  if (!output_path.empty()) {
    int out = open(output_path.c_str(), O_WRONLY | O_CLOEXEC);
    result.status = WaitProcess(StartProcess(argv, env, out, out));
    close(out);
    return result;
  }
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = StartProcess(argv, env, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  result.out = Drain(out_pipe[0]);  // the program's output is small: no deadlock
  result.err = Drain(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.status = WaitProcess(pid);
  return result;
}

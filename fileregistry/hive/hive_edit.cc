#include "fileregistry/hive/hive_edit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "fileregistry/file/fd.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// In a child process: `edit` on a writable handle of the hive copy `copy`,
// the result committed to `fd`, read back whole and checked with `check`.
// Returns 0, or a status with `*why` set.
long EditAndReadBack(int copy, int fd, const HiveEdit& edit, const HiveCheck& check,
                     std::string* why) {
  HiveHandle hive = OpenHandle(copy, HIVEX_OPEN_WRITE);
  if (!hive) return HivexFailed("hivex cannot open it to write", errno, why);
  if (long status = edit(hive.get(), copy, why)) return status;
  if (Hivex().commit(hive.get(), DescriptorPath(fd).c_str(), 0) != 0) {
    return HivexFailed("hivex cannot write it", errno, why);
  }
  HiveHandle back = OpenHandle(fd, 0);
  if (!back) return HivexFailed("hivex cannot open the hive it wrote", errno, why);
  if (!ReadsWhole(back.get()) || check(back.get(), fd) != ERROR_SUCCESS) {
    *why = "the hive hivex wrote does not read back";
    return ERROR_REGISTRY_IO_FAILED;
  }
  return ERROR_SUCCESS;
}

}  // namespace

long EditInChild(const std::string& path, int copy, int fd, const HiveEdit& edit,
                 const HiveCheck& check) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return RefuseErrno(path, errno);
  Fd from_child(pipe_fds[0]), to_parent(pipe_fds[1]);
  fflush(stdout);  // what was printed is not printed again by the child
  pid_t child = fork();
  if (child < 0) {
    int error = errno;
    return Refuse(path, std::string("cannot start the process that writes it: ") + strerror(error),
                  StatusFromErrno(error));
  }
  if (child == 0) {
    for (int signal_number : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE}) {
      signal(signal_number, SIG_DFL);
    }
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    std::string why;
    long status;
    try {
      status = EditAndReadBack(copy, fd, edit, check, &why);
    } catch (const std::bad_alloc&) {
      why = "not enough memory to change it";
      status = ERROR_OUTOFMEMORY;
    }
    std::string report(reinterpret_cast<const char*>(&status), sizeof(status));
    report += why;
    _exit(write(to_parent.get(), report.data(), report.size()) ==
                  static_cast<ssize_t>(report.size())
              ? 0
              : 1);
  }
  to_parent = Fd();
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(from_child.get(), buffer, sizeof(buffer))) != 0;) {
    if (n > 0) report.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  int how = 0;
  while (waitpid(child, &how, 0) < 0 && errno == EINTR) {
  }
  long status = ERROR_BADDB;
  if (report.size() < sizeof(status) || !WIFEXITED(how) || WEXITSTATUS(how) != 0) {
    return Refuse(path,
                  WIFSIGNALED(how) ? std::string("hivex failed on it: ") + strsignal(WTERMSIG(how))
                                   : "hivex failed on it",
                  ERROR_BADDB);
  }
  memcpy(&status, report.data(), sizeof(status));
  if (report.size() > sizeof(status)) Refuse(path, report.substr(sizeof(status)), status);
  return status;
}

}  // namespace fileregistry

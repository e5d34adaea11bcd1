#include "fileregistry/hive/hive_edit.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "fileregistry/hive/hive_cells.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// What the child reports, in memory it shares with the run: how far it is,
// its status and why.
enum Phase : uint32_t { kReading, kWriting, kWritten, kDone };
struct Report {
  std::atomic<uint32_t> phase{kReading};
  LSTATUS status = ERROR_BADDB;
  size_t length = 0;
  char why[65536 - 4 * sizeof(size_t)];

  void Enter(Phase next) {
    phase.store(next);
    syscall(SYS_futex, &phase, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
};

// RefersOnlyToCellsInUse, false where memory runs out.
bool CellsInUse(int fd) {
  try {
    return RefersOnlyToCellsInUse(fd);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Starts CellsInUse(fd) on a thread of its own, which sets `*in_use`; or,
// where no thread can be had, runs it at once.
std::thread LookOverCells(int fd, bool* in_use) {
  try {
    return std::thread([fd, in_use] { *in_use = CellsInUse(fd); });
  } catch (const std::system_error&) {
    *in_use = CellsInUse(fd);
    return std::thread();
  }
}

// Joins a thread, at the latest when it goes out of scope.
struct Joined {
  std::thread& thread;
  void Join() {
    if (thread.joinable()) thread.join();
  }
  ~Joined() { Join(); }
};

// In a child process: `edit` on a writable handle of the hive `source`,
// the result committed to `fd`, read back and checked with `check`, whole
// or not as EditInChild says; `report` told when hivex writes. Returns 0,
// or a status with `*why` set.
LSTATUS EditAndReadBack(int source, int fd, const HiveEdit& edit, const HiveCheck& check,
                        bool whole, Report* report, std::string* why) {
  errno = 0;
  HiveHandle hive = OpenHandle(source, HIVEX_OPEN_WRITE);
  if (!hive) return HivexCannotOpen(errno, why);
  if (LSTATUS status = edit(hive.get(), source, why)) return status;
  report->Enter(kWriting);
  if (Hivex().commit(hive.get(), DescriptorPath(fd).c_str(), 0) != 0) {
    int error = errno;
    if (error != EFBIG) return HivexFailed("hivex cannot write it", error, why);
    // Past the file size limit, as any file the run makes.
    *why = strerror(error);
    return HivexStatus(error);
  }
  report->Enter(kWritten);
  // The cells are looked over beside hivex's own reading, on another core.
  bool in_use = false;
  std::thread cells = whole ? std::thread() : LookOverCells(fd, &in_use);
  Joined joined{cells};
  errno = 0;
  HiveHandle back = OpenHandle(fd, 0);
  int error = errno;
  LSTATUS checked = back ? check(back.get(), fd) : ERROR_REGISTRY_IO_FAILED;
  joined.Join();
  if (!back) return HivexFailed("hivex cannot open the hive it wrote", error, why);
  bool reads = in_use || ReadsWhole(back.get());
  if (!reads || checked != ERROR_SUCCESS) {
    *why = "the hive hivex wrote does not read back";
    return ERROR_REGISTRY_IO_FAILED;
  }
  return ERROR_SUCCESS;
}

struct Unmap {
  void operator()(Report* report) const { munmap(report, sizeof(Report)); }
};

// Waits for the child to end, and returns how it did. While hivex writes
// the new file open as `fd`, what it has written goes to disk; once it
// has, the file is flushed while the child reads it back, and `*flushed`
// set to 0 or the errno value of the failure (-1: never flushed).
int AwaitChild(pid_t child, int fd, Report* report, int* flushed) {
  *flushed = -1;
  int how = 0;
  bool waitable = true;
  for (;;) {
    uint32_t phase = report->phase.load();
    if (phase == kWritten && *flushed < 0) {
      *flushed = fsync(fd) == 0 ? 0 : errno;
      continue;
    }
    pid_t done = waitable ? waitpid(child, &how, phase == kDone ? 0 : WNOHANG) : 0;
    if (done == child) return how;
    // Where children are reaped unasked (SIGCHLD ignored), its report tells.
    if (done < 0 && errno == ECHILD) waitable = false;
    if (!waitable && (phase == kDone || kill(child, 0) != 0)) return 0;
    if (phase == kWriting) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    // Woken when the phase changes; now and then to see the child has not died.
    timespec pause = {0, phase == kWriting ? 1000000 : 10000000};
    syscall(SYS_futex, &report->phase, FUTEX_WAIT, phase, &pause, nullptr, 0);
  }
}

}  // namespace

LSTATUS EditInChild(const std::string& path, int source, int fd, const HiveEdit& edit,
                    const HiveCheck& check, bool whole) {
  // The child's report, in memory both share: no descriptor spent on it.
  void* shared =
      mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return RefuseErrno(path, errno);
  std::unique_ptr<Report, Unmap> report(new (shared) Report);
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
    LSTATUS status;
    try {
      status = EditAndReadBack(source, fd, edit, check, whole, report.get(), &why);
    } catch (const std::bad_alloc&) {
      why = "not enough memory to change it";
      status = ERROR_OUTOFMEMORY;
    }
    report->status = status;
    report->length = why.copy(report->why, sizeof(report->why));
    report->Enter(kDone);
    _exit(0);
  }
  int flushed;
  int how = AwaitChild(child, fd, report.get(), &flushed);
  if (!WIFEXITED(how) || WEXITSTATUS(how) != 0 || report->phase.load() != kDone) {
    return Refuse(path,
                  WIFSIGNALED(how) ? std::string("hivex failed on it: ") + strsignal(WTERMSIG(how))
                                   : "hivex failed on it",
                  ERROR_BADDB);
  }
  if (report->length > 0) Refuse(path, std::string(report->why, report->length), report->status);
  if (report->status == ERROR_SUCCESS && flushed < 0) flushed = fsync(fd) == 0 ? 0 : errno;
  if (report->status == ERROR_SUCCESS && flushed != 0) return RefuseErrno(path, flushed);
  return report->status;
}

}  // namespace fileregistry

#include "fileregistry/hive/hive_recovery.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "fileregistry/file/fd.h"
#include "fileregistry/hive/hive_log.h"

namespace fileregistry {
namespace {

const off_t kLargestLog = off_t{1} << 30;  // as for any store

// The POSIX access list of the file open as `fd`; empty when it has none.
std::string AccessList(int fd) {
  char list[4096];
  ssize_t size = fgetxattr(fd, "system.posix_acl_access", list, sizeof(list));
  return size > 0 ? std::string(list, static_cast<size_t>(size)) : std::string();
}

// Why the log `name`, open as `fd`, may not be trusted beside the hive open
// as `hive_fd`, which `hive` describes; empty when it may.
std::string Distrust(const std::string& name, int fd, int hive_fd, const struct stat& hive) {
  struct stat log;
  if (fstat(fd, &log) != 0) return name + " cannot be read: " + strerror(errno);
  if (!S_ISREG(log.st_mode)) return name + " is not a regular file";
  if (log.st_uid != hive.st_uid && log.st_uid != 0) return name + " belongs to another user";
  if (log.st_nlink != 1) return name + " has other names, hard links";
  bool group_may =
      (hive.st_mode & S_IWOTH) || ((hive.st_mode & S_IWGRP) && log.st_gid == hive.st_gid);
  if (((log.st_mode & S_IWGRP) && !group_may) ||
      ((log.st_mode & S_IWOTH) && !(hive.st_mode & S_IWOTH))) {
    return name + " may be written by users who cannot write the hive";
  }
  std::string list = AccessList(fd);
  if (!list.empty() && list != AccessList(hive_fd)) {
    return name + " has an access list that the hive does not have";
  }
  if (log.st_size > kLargestLog) return name + " is larger than 1 GiB";
  return "";
}

// Opens the log `name` beside the hive at `at`: a symlink only as the
// hive's own path would follow it. Not valid when there is none, or with
// `*note` set when it may not be used.
Fd OpenLog(const StoreLocation& at, const std::string& name, std::string* note) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd fd(openat(at.folder.get(), name.c_str(), flags));
  if (fd.valid() || errno == ENOENT) return fd;
  struct stat link;
  if (errno != ELOOP || fstatat(at.folder.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
    *note = name + " cannot be opened: " + strerror(errno);
    return Fd();
  }
  if (link.st_uid != geteuid() && link.st_uid != 0) {
    *note = name + " is a symlink of another user";
    return Fd();
  }
  StoreLocation target;
  size_t slash = at.path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : at.path.substr(0, slash + 1);
  if (WalkToStore(folder + name, false, &target) == 0 && target.folder.valid()) {
    fd = Fd(openat(target.folder.get(), target.name.c_str(), flags));
  }
  if (!fd.valid()) *note = name + " is a symlink that leads nowhere to read";
  return fd;
}

void AddNote(std::string* notes, const std::string& note) {
  if (!note.empty()) *notes += (notes->empty() ? "" : "; ") + note;
}

// Reads the log `name`, open as `fd`: its first sector, and the rest only
// where that is a log's. Returns false with `*note` set when it cannot.
bool ReadLog(const std::string& name, int fd, HiveLog* log, std::string* note) {
  struct stat st;
  log->name = name;
  if (fstat(fd, &st) != 0 || !ReadBytes(fd, std::min<off_t>(st.st_size, 512), &log->bytes) ||
      (IsHiveLogBase(log->bytes) && !ReadBytes(fd, st.st_size, &log->bytes))) {
    *note = name + " cannot be read: " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool ReadBytes(int fd, off_t size, std::string* bytes) {
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t used = 0;
  while (used < bytes->size()) {
    ssize_t n = pread(fd, &(*bytes)[used], bytes->size() - used, static_cast<off_t>(used));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes->resize(used);
  return true;
}

Recovery RecoverHive(const StoreLocation& at, int hive_fd, const struct stat& st,
                     std::string* hive) {
  Recovery recovery;
  std::vector<HiveLog> logs;
  for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
    std::string name = at.name + suffix, note;
    Fd fd = OpenLog(at, name, &note);
    if (!fd.valid() && note.empty()) {
      std::string lower = at.name + ".log" + (suffix + 4);
      fd = OpenLog(at, lower, &note);
      if (fd.valid() || !note.empty()) name = lower;
    }
    if (fd.valid()) note = Distrust(name, fd.get(), hive_fd, st);
    HiveLog log;
    if (fd.valid() && note.empty() && ReadLog(name, fd.get(), &log, &note)) {
      logs.push_back(std::move(log));
    }
    AddNote(&recovery.ignored, note);
  }
  if (logs.empty()) {
    recovery.why = recovery.ignored.empty() ? "no log beside it" : recovery.ignored;
    return recovery;
  }
  recovery.replayed = ReplayHiveLogs(logs, hive, &recovery.why);
  if (!recovery.replayed) AddNote(&recovery.why, recovery.ignored);
  return recovery;
}

}  // namespace fileregistry

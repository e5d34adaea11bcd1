#include "fileregistry/path_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const int kMostLinks = 40;  // as the kernel's own walk

void PushFront(const std::string& path, std::deque<std::string>* parts) {
  std::deque<std::string> front;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) front.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  parts->insert(parts->begin(), front.begin(), front.end());
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

Fd OpenStart(const std::string& path, std::string* where) {
  bool absolute = !path.empty() && path[0] == '/';
  *where = absolute ? "/" : ".";
  return Fd(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Only the caller's own symlinks and root's are followed: another user's
// link, in whatever folder, could send the caller's writes to a file that
// user may not write.
bool MayFollow(const struct stat& link) { return link.st_uid == geteuid() || link.st_uid == 0; }

// The folder the rest of the walk would make, for messages.
std::string FolderToMake(std::string where, const std::deque<std::string>& rest) {
  for (size_t i = 0; i + 1 < rest.size(); ++i) where = Join(where, rest[i]);
  return where;
}

}  // namespace

long WalkToStore(const std::string& path, bool make_folders, StoreLocation* location) {
  if (path.empty()) return RefuseErrno(path, ENOENT);
  if (path.back() == '/') return Refuse(path, "names a folder (rc 5)", ERROR_ACCESS_DENIED);
  std::string where;
  Fd folder = OpenStart(path, &where);
  if (!folder.valid()) return RefuseErrno(where, errno);
  std::deque<std::string> rest;
  PushFront(path, &rest);
  bool through_link = false;
  for (int links = 0; !rest.empty();) {
    std::string name = rest.front();
    bool last = rest.size() == 1;
    if (last && (name == "." || name == "..")) {
      return Refuse(Join(where, name), "is a folder (rc 5)", ERROR_ACCESS_DENIED);
    }
    if (name == ".") {
      rest.pop_front();
      continue;
    }
    Fd next(openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (next.valid() && fstat(next.get(), &st) != 0) return RefuseErrno(Join(where, name), errno);
    bool missing = !next.valid() && (errno == ENOENT || errno == ENOTDIR);
    if (!next.valid() && !missing) return RefuseErrno(Join(where, name), errno);
    if (last && !missing && S_ISDIR(st.st_mode)) {
      return Refuse(Join(where, name), "is a folder (rc 5)", ERROR_ACCESS_DENIED);
    }
    if (last && !missing && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      return Refuse(Join(where, name), "not a regular file (rc 1009)", ERROR_BADDB);
    }
    if (last && (missing || !S_ISLNK(st.st_mode))) break;
    if (missing || !(S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
      // A folder on the way that is not there: the store is missing too.
      if (!make_folders || through_link) {
        folder = Fd();
        break;
      }
      if (!missing || (mkdirat(folder.get(), name.c_str(), 0777) != 0 && errno != EEXIST)) {
        return Refuse(FolderToMake(where, rest),
                      std::string("cannot make the folder: ") + strerror(errno) + " (rc 3)",
                      ERROR_PATH_NOT_FOUND);
      }
      continue;  // open what was made, as any other folder
    }
    rest.pop_front();
    if (S_ISDIR(st.st_mode)) {
      folder = std::move(next);
      where = Join(where, name);
      continue;
    }
    if (++links > kMostLinks) return RefuseErrno(path, ELOOP);
    if (!MayFollow(st)) {
      return Refuse(Join(where, name), "a symlink of another user (rc 5)", ERROR_ACCESS_DENIED);
    }
    char target[PATH_MAX];
    ssize_t size = readlinkat(next.get(), "", target, sizeof(target));
    if (size < 0) return RefuseErrno(Join(where, name), errno);
    if (size == static_cast<ssize_t>(sizeof(target))) {
      return RefuseErrno(Join(where, name), ENAMETOOLONG);
    }
    through_link = through_link || last;
    std::string link(target, static_cast<size_t>(size));
    if (link.empty()) return RefuseErrno(Join(where, name), ENOENT);
    PushFront(link, &rest);
    if (link[0] == '/') {
      folder = OpenStart(link, &where);
      if (!folder.valid()) return RefuseErrno(where, errno);
    }
  }
  if (rest.empty()) return Refuse(where, "is a folder (rc 5)", ERROR_ACCESS_DENIED);
  location->folder = std::move(folder);
  location->name = rest.back();
  location->path = Join(FolderToMake(where, rest), location->name);
  location->through_link = through_link;
  return ERROR_SUCCESS;
}

}  // namespace fileregistry

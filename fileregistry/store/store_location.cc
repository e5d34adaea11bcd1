#include "fileregistry/store/store_location.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fileregistry/file/file_lock.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// The home folder of user `uid` in /etc/passwd, read directly: the program
// is linked statically, and so does without the name service's modules.
std::string HomeFromPasswd(uid_t uid) {
  std::string home;
  if (FILE* file = fopen("/etc/passwd", "re")) {
    passwd entry, *found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
      int error = fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &found);
      if (error == ERANGE && buffer.size() < (1 << 20)) {
        buffer.resize(buffer.size() * 2);  // a line longer than the buffer: read it again
        continue;
      }
      if (error != 0 || found == nullptr) break;
      if (entry.pw_uid == uid) {
        home = entry.pw_dir;
        break;
      }
    }
    fclose(file);
  }
  return home;
}

}  // namespace

LSTATUS StorePath(std::string* path, bool* named) {
  const char* variable = getenv("KOVALSET_REGISTRY");
  *named = variable != nullptr && variable[0] != '\0';
  if (*named) {
    *path = variable;
    return ERROR_SUCCESS;
  }
  std::string data_home;
  if (const char* xdg = getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    data_home = xdg;
  } else {
    // $HOME, else the password database's home folder, as under cron.
    std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    if (home.empty() || home[0] != '/') home = HomeFromPasswd(getuid());
    if (home.empty() || home[0] != '/') {
      return Refuse("no home folder to keep the store in", "set KOVALSET_REGISTRY or HOME",
                    ERROR_PATH_NOT_FOUND);
    }
    data_home = home + "/.local/share";
  }
  *path = data_home + "/kovalset/hklm.reg";
  return ERROR_SUCCESS;
}

std::chrono::milliseconds LockWait() {
  const char* variable = getenv("KOVALSET_LOCK_WAIT_MS");
  if (variable == nullptr || variable[0] == '\0' || strlen(variable) > 7 ||
      strspn(variable, "0123456789") != strlen(variable)) {
    return kLockWait;
  }
  LSTATUS ms = strtol(variable, nullptr, 10);
  return ms <= 3600000 ? std::chrono::milliseconds(ms) : kLockWait;
}

}  // namespace fileregistry

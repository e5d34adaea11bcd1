#include "fileregistry/hivex_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <type_traits>

namespace fileregistry {
namespace {

HivexLibrary library;
std::string load_error;

// Fills `library` from the shared object; false when any of it is missing.
bool Resolve(void* handle) {
  auto find = [handle](auto* function, const char* name) {
    *function = reinterpret_cast<std::remove_pointer_t<decltype(function)>>(dlsym(handle, name));
    return *function != nullptr;
  };
  return find(&library.open, "hivex_open") && find(&library.close, "hivex_close") &&
         find(&library.root, "hivex_root") && find(&library.node_name, "hivex_node_name") &&
         find(&library.node_get_child, "hivex_node_get_child") &&
         find(&library.node_add_child, "hivex_node_add_child") &&
         find(&library.node_values, "hivex_node_values") &&
         find(&library.node_set_value, "hivex_node_set_value") &&
         find(&library.value_key, "hivex_value_key") &&
         find(&library.value_value, "hivex_value_value") && find(&library.visit, "hivex_visit") &&
         find(&library.commit, "hivex_commit");
}

}  // namespace

int LoadHivex(std::string* why) {
  static std::once_flag once;
  static int failure = 0;
  std::call_once(once, [] {
    errno = 0;
    void* handle = dlopen("libhivex.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr && Resolve(handle)) return;
    failure = errno != 0 ? errno : EINVAL;
    // dlopen does not always leave the errno of its last open: a process
    // out of descriptors is said as such.
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0 && (errno == EMFILE || errno == ENFILE)) failure = errno;
    if (probe >= 0) close(probe);
    const char* error = dlerror();
    load_error = error != nullptr ? error : "libhivex.so.0 is incomplete";
  });
  if (failure != 0) *why = "hivex cannot be loaded: " + load_error;
  return failure;
}

const HivexLibrary& Hivex() { return library; }

}  // namespace fileregistry

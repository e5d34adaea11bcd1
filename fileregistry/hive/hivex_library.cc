#include "fileregistry/hive/hivex_library.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
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

// dlopen leaves errno as it likes; its message ends in the system's words
// for what failed. A shortage of the system's is told apart from a library
// that is missing or broken (EINVAL).
int ShortageIn(const std::string& message) {
  for (int error : {EMFILE, ENFILE, ENOMEM}) {
    std::string words = strerror(error);
    if (message.size() >= words.size() &&
        message.compare(message.size() - words.size(), words.size(), words) == 0) {
      return error;
    }
  }
  // Memory the loader could not map is memory the process may not have.
  if (message.find("failed to map segment") != std::string::npos) return ENOMEM;
  return EINVAL;
}

}  // namespace

int LoadHivex(std::string* why) {
  static std::once_flag once;
  static int failure = 0;
  std::call_once(once, [] {
    void* handle = dlopen("libhivex.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr && Resolve(handle)) return;
    const char* error = dlerror();
    load_error = error != nullptr ? error : "libhivex.so.0 is incomplete";
    failure = ShortageIn(load_error);
  });
  if (failure != 0) *why = "hivex cannot be loaded: " + load_error;
  return failure;
}

const HivexLibrary& Hivex() { return library; }

}  // namespace fileregistry

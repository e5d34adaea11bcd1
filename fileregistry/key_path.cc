#include "fileregistry/key_path.h"

#include "fileregistry/win32_registry.h"

namespace fileregistry {

bool GoesTo32BitView(std::string_view path, unsigned long access) {
  return (access & KEY_WOW64_32KEY) != 0 && (access & KEY_WOW64_64KEY) == 0 &&
         IsAtOrBelow(path, "Software") && !IsAtOrBelow(path, kWow64Key);
}

std::string In32BitView(std::string_view path) {
  return kWow64Key + std::string(path.substr(sizeof("Software") - 1));
}

}  // namespace fileregistry

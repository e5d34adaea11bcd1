#include "fileregistry/key_path.h"

#include "fileregistry/win32_registry.h"

namespace fileregistry {

bool EqualFoldingCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool IsAtOrBelow(std::string_view path, std::string_view key) {
  if (key.empty()) return true;
  return path.size() >= key.size() && EqualFoldingCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

bool GoesTo32BitView(std::string_view path, unsigned long access) {
  return (access & KEY_WOW64_32KEY) != 0 && (access & KEY_WOW64_64KEY) == 0 &&
         IsAtOrBelow(path, "Software") && !IsAtOrBelow(path, kWow64Key);
}

std::string In32BitView(std::string_view path) {
  return kWow64Key + std::string(path.substr(sizeof("Software") - 1));
}

}  // namespace fileregistry

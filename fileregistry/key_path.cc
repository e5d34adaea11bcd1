#include "fileregistry/key_path.h"

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

}  // namespace fileregistry

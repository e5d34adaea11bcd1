#include "fileregistry/hive/hive_names.h"

#include <cstdint>

#include "fileregistry/unicode/utf16.h"

namespace fileregistry {
namespace {

uint16_t Half(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
}

// A UTF-16 code unit upper-cased: ASCII, Latin-1, Greek and Cyrillic.
uint16_t Upper(uint16_t unit) {
  if ((unit >= 'a' && unit <= 'z') || (unit >= 0xe0 && unit <= 0xfe && unit != 0xf7) ||
      (unit >= 0x3b1 && unit <= 0x3c9 && unit != 0x3c2) || (unit >= 0x430 && unit <= 0x44f)) {
    return static_cast<uint16_t>(unit - 0x20);
  }
  if (unit >= 0x450 && unit <= 0x45f) return static_cast<uint16_t>(unit - 0x50);
  if (unit == 0xff) return 0x178;
  return unit;
}

}  // namespace

std::string Utf16Name(const std::string& stored, bool compressed) {
  if (!compressed) return stored;
  std::string wide;
  for (char c : stored) wide.append({c, '\0'});
  return wide;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t at = 0; at + 1 < a.size(); at += 2) {
    if (Upper(Half(a, at)) != Upper(Half(b, at))) return false;
  }
  return true;
}

std::string Wanted(std::string_view name) {
  std::string utf16;
  if (!Utf8ToUtf16(name, &utf16)) return std::string(1, '\0');  // odd: no stored name
  return utf16;
}

bool HasZero(std::string_view name) {
  for (size_t at = 0; at + 1 < name.size(); at += 2) {
    if (name[at] == '\0' && name[at + 1] == '\0') return true;
  }
  return false;
}

}  // namespace fileregistry

#include "fileregistry/hive/hive_kind.h"

#include <cctype>

namespace fileregistry {
namespace {

// Windows writes the tail of the hive's path at 0x30 of the base block:
// 32 UTF-16 characters at most, "\SystemRoot\System32\Config\SAM" or
// "\??\C:\Users\Name\ntuser.dat".
const size_t kFileNameAt = 0x30, kFileNameSize = 64;

// The last part of that path, in capitals; empty when there is none.
std::string NamedFile(std::string_view head) {
  std::string name;
  for (size_t at = kFileNameAt; at + 1 < kFileNameAt + kFileNameSize && at + 1 < head.size();
       at += 2) {
    unsigned code = static_cast<unsigned char>(head[at]) |
                    static_cast<unsigned>(static_cast<unsigned char>(head[at + 1])) << 8;
    if (code == 0) break;
    if (code == '\\') {
      name.clear();
    } else {
      name += code < 0x80 ? static_cast<char>(toupper(static_cast<int>(code))) : '?';
    }
  }
  return name;
}

struct Kind {
  const char* file;     // as the base block names it, in capitals
  const char* what;     // for messages
  const char* keys[2];  // keys at its top that only it has; null: none
};

const Kind kOtherKinds[] = {
    {"SYSTEM", "a SYSTEM hive", {"ControlSet001", "Select"}},
    {"SAM", "a SAM hive", {"SAM"}},
    {"SECURITY", "a SECURITY hive", {"Policy", "RXACT"}},
    {"DEFAULT", "a user's hive", {}},
    {"COMPONENTS", "a COMPONENTS hive", {}},
    {"DRIVERS", "a DRIVERS hive", {}},
    {"ELAM", "an ELAM hive", {}},
    {"BBI", "a BBI hive", {}},
    {"AMCACHE.HVE", "an Amcache hive", {}},
    {"NTUSER.DAT", "a user's hive", {"Control Panel", "Environment"}},
    {"USRCLASS.DAT", "a user's classes hive", {"Local Settings"}},
    {"BCD", "a boot configuration hive", {"Description", "Objects"}},
};

}  // namespace

std::string OtherHiveKind(std::string_view head,
                          const std::function<bool(const char* name)>& has_top_key) {
  std::string named = NamedFile(head);
  if (named == "SOFTWARE") return "";
  for (const Kind& kind : kOtherKinds) {
    if (named == kind.file)
      return std::string(kind.what) + " (its base block names it " + named + ")";
  }
  for (const Kind& kind : kOtherKinds) {
    bool all = kind.keys[0] != nullptr;
    std::string keys;
    for (const char* key : kind.keys) {
      if (key == nullptr) break;
      all = all && has_top_key(key);
      keys += std::string(keys.empty() ? "" : ", ") + key;
    }
    if (all) return std::string(kind.what) + " (its top keys include " + keys + ")";
  }
  return "";
}

}  // namespace fileregistry

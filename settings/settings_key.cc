#include "settings/settings_key.h"

#include <cstdio>

const char kPrimaryVendorRoot[] = "Software\\Calderan Software";
const char kFallbackVendorRoot[] = "Software\\Morlith Technologies";
const char kComponentKeyName[] = "Linvarro";

namespace {

// The requester is a 32-bit program: on 64-bit Windows its HKLM\Software is
// the 32-bit view (Software\WOW6432Node). 32-bit Windows ignores the flag.
const REGSAM kView = KEY_WOW64_32KEY;
const REGSAM kOpenAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kView;  // 0x2001F
const REGSAM kCreateAccess = KEY_ALL_ACCESS | kView;

typedef char SettingsKeyPath[256];

void FormatSettingsKeyPath(const char* vendor_root, SettingsKeyPath& path) {
  snprintf(path, sizeof(path), "%s\\%s\\Version %d.%02d\\Settings", vendor_root, kComponentKeyName,
           kSettingsVersionMajor, kSettingsVersionMinor);
}

bool OpenUnder(const char* vendor_root, SettingsKey* key) {
  SettingsKeyPath path;
  FormatSettingsKeyPath(vendor_root, path);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, kOpenAccess, key->receive()) == 0) return true;
  key->Drop();
  return false;
}

}  // namespace

void SettingsKey::Close() {
  if (handle_ != nullptr) RegCloseKey(handle_);
  handle_ = nullptr;
}

bool OpenSettingsKey(SettingsKey* key) {
  if (OpenUnder(kPrimaryVendorRoot, key) || OpenUnder(kFallbackVendorRoot, key)) return true;

  SettingsKeyPath path;
  FormatSettingsKeyPath(kPrimaryVendorRoot, path);
  printf("Key %s does not exist: creating new entry\n", path);
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                kCreateAccess, nullptr, key->receive(), &disposition);
  if (status != 0) {
    key->Drop();
    printf("Error: Unable to create key: rc %ld.\n", static_cast<long>(status));
    return false;
  }
  return true;
}

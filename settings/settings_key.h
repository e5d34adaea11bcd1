// The registry key that holds the requester's settings.
#ifndef SETTINGS_SETTINGS_KEY_H_
#define SETTINGS_SETTINGS_KEY_H_

#include "settings/registry_access.h"

extern const char kPrimaryVendorRoot[];
extern const char kFallbackVendorRoot[];
extern const char kComponentKeyName[];
const int kSettingsVersionMajor = 6;
const int kSettingsVersionMinor = 15;

// An open registry key, closed when it goes out of scope.
class SettingsKey {
 public:
  SettingsKey() = default;
  ~SettingsKey() { Close(); }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  HKEY get() const { return handle_; }
  // Where a call puts a new handle; a handle held before is closed first.
  HKEY* receive() {
    Close();
    return &handle_;
  }
  // Forgets what a call that failed left where the handle goes: no handle.
  void Drop() { handle_ = nullptr; }
  void Close();

 private:
  HKEY handle_ = nullptr;
};

// Opens the settings key under the primary vendor root, else under the
// fallback root, else creates it (with its whole path) under the primary root
// and says so. Returns false, after printing the error line, when it could not
// be created.
bool OpenSettingsKey(SettingsKey* key);

#endif  // SETTINGS_SETTINGS_KEY_H_

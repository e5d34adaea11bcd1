// Test helper for Windows: sets the two settings keys to a given state, or
// prints their state, in one process, in either view of the registry.
//
//   registry_state seed V E P D E P D   first the primary key, then the fallback
//   registry_state dump V               prints E, P and D for each, a line each
//   registry_state vendors V            prints 1 or 0 for each vendor root key
//
// V is 32 or 64, the view. E is 1 when the key exists; P and D are "-" when
// the value ("Supported protocols", "Debug messages") is missing, else "="
// and its text.
#define _WIN32_WINNT 0x0601
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kVendors[] = {"Calderan Software", "Morlith Technologies"};
const char kRest[] = "\\Linvarro\\Version 6.15\\Settings";
const char* const kValueNames[] = {"Supported protocols", "Debug messages"};

REGSAM view = 0;

std::string SettingsPath(const char* vendor) { return std::string("Software\\") + vendor + kRest; }

// Says which call failed, with its status; returns false.
bool Failed(const char* call, LONG status) {
  fprintf(stderr, "registry_state: %s failed: %ld\n", call, static_cast<long>(status));
  return false;
}

bool Seed(char** words) {
  HKEY software;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | view, &software);
  if (status != ERROR_SUCCESS) return Failed("RegOpenKeyExA", status);
  bool ok = true;
  for (int root = 0; ok && root < 2; ++root, words += 3) {
    status = RegDeleteTreeA(software, kVendors[root]);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      ok = Failed("RegDeleteTreeA", status);
    if (!ok || strcmp(words[0], "1") != 0) continue;
    HKEY key;
    status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsPath(kVendors[root]).c_str(), 0, nullptr,
                             0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
      ok = Failed("RegCreateKeyExA", status);
      continue;
    }
    for (int v = 0; ok && v < 2; ++v) {
      const char* text = words[1 + v];
      if (text[0] != '=') continue;
      // As a registry editor stores text: with its terminating zero.
      status =
          RegSetValueExA(key, kValueNames[v], 0, REG_SZ, reinterpret_cast<const BYTE*>(text + 1),
                         static_cast<DWORD>(strlen(text)));
      if (status != ERROR_SUCCESS) ok = Failed("RegSetValueExA", status);
    }
    RegCloseKey(key);
  }
  RegCloseKey(software);
  return ok;
}

std::string Value(HKEY key, const char* name) {
  char data[4096];
  DWORD size = sizeof(data), type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS) {
    return "-";
  }
  if (type != REG_SZ) return "?type";
  if (size > 0 && data[size - 1] == '\0') --size;
  return "=" + std::string(data, size);
}

bool Exists(const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void Dump() {
  for (const char* vendor : kVendors) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsPath(vendor).c_str(), 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS) {
      printf("0\n-\n-\n");
      continue;
    }
    printf("1\n%s\n%s\n", Value(key, kValueNames[0]).c_str(), Value(key, kValueNames[1]).c_str());
    RegCloseKey(key);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3) view = strcmp(argv[2], "32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  if (argc == 9 && strcmp(argv[1], "seed") == 0) return Seed(argv + 3) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "dump") == 0) {
    Dump();
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "vendors") == 0) {
    for (const char* vendor : kVendors) printf("%d\n", Exists(std::string("Software\\") + vendor));
    return 0;
  }
  fprintf(stderr, "usage: registry_state seed V E P D E P D | dump V | vendors V\n");
  return 2;
}

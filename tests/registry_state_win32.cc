// Test helper for Windows: sets the two settings keys to a given state, or
// prints their state, in one process.
//
//   registry_state seed E P D E P D   first the primary key, then the fallback
//   registry_state dump               prints E, P and D for each, a line each
//
// E is 1 when the key exists; P and D are "-" when the value ("Supported
// protocols", "Debug messages") is missing, else "=" and its text.
#define _WIN32_WINNT 0x0601
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kVendorRoots[] = {"Software\\Calderan Software",
                                    "Software\\Morlith Technologies"};
const char kRest[] = "\\Linvarro\\Version 6.15\\Settings";
const char* const kValueNames[] = {"Supported protocols", "Debug messages"};

bool Seed(char** words) {
  for (int root = 0; root < 2; ++root, words += 3) {
    LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kVendorRoots[root]);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
    if (strcmp(words[0], "1") != 0) continue;
    HKEY key;
    std::string path = std::string(kVendorRoots[root]) + kRest;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    for (int v = 0; v < 2; ++v) {
      const char* text = words[1 + v];
      if (text[0] != '=') continue;
      // As a registry editor stores text: with its terminating zero.
      if (RegSetValueExA(key, kValueNames[v], 0, REG_SZ, reinterpret_cast<const BYTE*>(text + 1),
                         static_cast<DWORD>(strlen(text))) != ERROR_SUCCESS) {
        return false;
      }
    }
    RegCloseKey(key);
  }
  return true;
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

void Dump() {
  for (const char* root : kVendorRoots) {
    std::string path = std::string(root) + kRest;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      printf("0\n-\n-\n");
      continue;
    }
    printf("1\n%s\n%s\n", Value(key, kValueNames[0]).c_str(), Value(key, kValueNames[1]).c_str());
    RegCloseKey(key);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && strcmp(argv[1], "seed") == 0) return Seed(argv + 2) ? 0 : 1;
  if (argc == 2 && strcmp(argv[1], "dump") == 0) {
    Dump();
    return 0;
  }
  fprintf(stderr, "usage: registry_state seed E P D E P D | dump\n");
  return 2;
}

// Runs one fixed sequence of registry calls and prints what each returns:
// statuses, sizes, types and the bytes that came back. Built for both
// platforms from this one source, so that the file registry can be compared
// with the Windows one line by line.
#include <cstdio>
#include <string>

#include "settings/registry_access.h"

namespace {

const char kKeyPath[] = "Software\\Kovalset Probe\\Parent\\Child";
REGSAM view = 0;  // KEY_WOW64_32KEY or KEY_WOW64_64KEY, added to every access

// The bytes, with runs of four or more shown as "x*N" and other than
// printable ASCII as \xNN.
std::string Describe(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size();) {
    size_t run = 1;
    while (i + run < bytes.size() && bytes[i + run] == bytes[i]) ++run;
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    char piece[16];
    snprintf(piece, sizeof(piece), c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x", c);
    if (run >= 4) {
      out += piece + std::string("*") + std::to_string(run);
      i += run;
    } else {
      out += piece;
      ++i;
    }
  }
  return out;
}

void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
  LONG status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size()));
  printf("set %s (%zu bytes, type %lu): status %ld\n", name, data.size(),
         static_cast<unsigned long>(type), static_cast<long>(status));
}

// Queries with `room` bytes offered in a buffer of '#', and shows the whole
// buffer, so that bytes written beyond the data show as well.
void Query(HKEY key, const char* name, DWORD room) {
  std::string buffer(room, '#');
  DWORD size = room, type = 0;
  LONG status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size);
  printf("query %s with room %lu: status %ld, type %lu, size %lu, buffer [%s]\n", name,
         static_cast<unsigned long>(room), static_cast<long>(status),
         static_cast<unsigned long>(type), static_cast<unsigned long>(size),
         Describe(buffer).c_str());
}

void QuerySize(HKEY key, const char* name) {
  DWORD size = 0, type = 0;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
  printf("query %s for its size: status %ld, type %lu, size %lu\n", name, static_cast<long>(status),
         static_cast<unsigned long>(type), static_cast<unsigned long>(size));
}

}  // namespace

// registry_probe [32|64]: the view to work in; 64 by default.
int main(int argc, char** argv) {
  view = argc > 1 && std::string(argv[1]) == "32" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ | view, &key);
  printf("open missing key: status %ld, handle %s\n", static_cast<long>(status),
         key == nullptr ? "null" : "set");

  for (int i = 0; i < 2; ++i) {
    DWORD disposition = 0;
    status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS | view, nullptr, &key, &disposition);
    printf("create key with missing parents: status %ld, disposition %lu\n",
           static_cast<long>(status), static_cast<unsigned long>(disposition));
    printf("close: status %ld\n", static_cast<long>(RegCloseKey(key)));
  }
  status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\kovalset probe\\PARENT", 0, 0x2001F | view,
                         &key);
  printf("open parent in another case: status %ld\n", static_cast<long>(status));
  RegCloseKey(key);
  status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KOVALSET PROBE\\parent\\child", 0,
                         0x2001F | view, &key);
  printf("open key in another case: status %ld\n", static_cast<long>(status));

  Query(key, "Absent", 8);
  Set(key, "Text", REG_SZ, "hello");
  Query(key, "TEXT", 3);
  Query(key, "text", 5);
  Query(key, "Text", 6);
  Query(key, "Text", 8);
  QuerySize(key, "Text");
  Set(key, "Text", REG_SZ, std::string("hi\0", 3));
  Query(key, "Text", 8);
  Set(key, "Empty", REG_SZ, "");
  Query(key, "Empty", 4);
  Set(key, "Long", REG_SZ, std::string(255, 'a'));
  Query(key, "Long", 255);
  Query(key, "Long", 256);
  Set(key, "Long", REG_SZ, std::string(256, 'b'));
  Query(key, "Long", 255);
  Query(key, "Long", 257);
  Set(key, "Number", REG_DWORD, std::string("\x2a\0\0\0", 4));
  Query(key, "Number", 4);
  Set(key, "Blob", REG_BINARY, std::string("\x01\0\x02", 3));
  Query(key, "Blob", 8);
  Set(key, "", REG_SZ, "default");
  Query(key, "", 8);

  printf("close: status %ld\n", static_cast<long>(RegCloseKey(key)));
  printf("close again: status %ld\n", static_cast<long>(RegCloseKey(key)));
  return 0;
}

#include "tests/fake_registry.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FakeKey {
  std::string path;  // lower case
};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string PathOf(HKEY parent, const char* sub_key) {
  std::string base = parent == HKEY_LOCAL_MACHINE ? "" : reinterpret_cast<FakeKey*>(parent)->path;
  std::string sub = Lower(sub_key != nullptr ? sub_key : "");
  if (base.empty()) return sub;
  return sub.empty() ? base : base + "\\" + sub;
}

// The status of a failure told for this call, or 0.
LONG InjectedFailure(FakeRegistry::Call call, const std::string& target) {
  for (const FakeRegistry::Failure& failure : FakeRegistry::Get().failures) {
    if (failure.call == call && (failure.target.empty() || Lower(failure.target) == target)) {
      return failure.status;
    }
  }
  return 0;
}

HKEY NewHandle(const std::string& path) {
  ++FakeRegistry::Get().open_handles;
  return reinterpret_cast<HKEY>(new FakeKey{path});
}

std::string Hex(REGSAM access) {
  char text[16];
  snprintf(text, sizeof(text), "%#x", static_cast<unsigned>(access));
  return text;
}

}  // namespace

FakeRegistry& FakeRegistry::Get() {
  static FakeRegistry registry;
  return registry;
}

void FakeRegistry::Reset() { *this = FakeRegistry(); }

void FakeRegistry::AddKey(const std::string& path) { keys[Lower(path)]; }

void FakeRegistry::SetText(const std::string& path, const std::string& name,
                           const std::string& text) {
  keys[Lower(path)][Lower(name)] = Value{REG_SZ, text};
}

bool FakeRegistry::HasKey(const std::string& path) const { return keys.count(Lower(path)) != 0; }

const FakeRegistry::Value* FakeRegistry::Find(const std::string& path,
                                              const std::string& name) const {
  auto key = keys.find(Lower(path));
  if (key == keys.end()) return nullptr;
  auto value = key->second.find(Lower(name));
  return value == key->second.end() ? nullptr : &value->second;
}

void FakeRegistry::Fail(Call call, const std::string& target, LONG status) {
  failures.push_back(Failure{call, target, status});
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  FakeRegistry& registry = FakeRegistry::Get();
  std::string path = PathOf(hKey, lpSubKey);
  registry.log.push_back("open " + path + " " + Hex(samDesired));
  *phkResult = nullptr;
  if (LONG status = InjectedFailure(FakeRegistry::kOpen, path)) return status;
  if (!registry.HasKey(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(path);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  FakeRegistry& registry = FakeRegistry::Get();
  std::string path = PathOf(hKey, lpSubKey);
  registry.log.push_back("create " + path + " " + Hex(samDesired));
  if (LONG status = InjectedFailure(FakeRegistry::kCreate, path)) return status;
  bool existed = registry.HasKey(path);
  registry.AddKey(path);
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  }
  *phkResult = NewHandle(path);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  FakeRegistry& registry = FakeRegistry::Get();
  std::string name = Lower(lpValueName);
  registry.log.push_back(std::string("query ") + lpValueName);
  if (LONG status = InjectedFailure(FakeRegistry::kQuery, name)) return status;
  const FakeRegistry::Value* value = registry.Find(reinterpret_cast<FakeKey*>(hKey)->path, name);
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (lpType != nullptr) *lpType = value->type;
  DWORD room = *lpcbData;
  *lpcbData = static_cast<DWORD>(value->bytes.size());
  if (value->bytes.size() > room) return ERROR_MORE_DATA;
  memcpy(lpData, value->bytes.data(), value->bytes.size());
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  FakeRegistry& registry = FakeRegistry::Get();
  registry.log.push_back(std::string("set ") + lpValueName + " (" + std::to_string(cbData) + ")");
  if (LONG status = InjectedFailure(FakeRegistry::kSet, Lower(lpValueName))) return status;
  std::string bytes(reinterpret_cast<const char*>(lpData), cbData);
  registry.keys[reinterpret_cast<FakeKey*>(hKey)->path][Lower(lpValueName)] =
      FakeRegistry::Value{dwType, bytes};
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  FakeRegistry& registry = FakeRegistry::Get();
  registry.log.push_back("close");
  --registry.open_handles;
  delete reinterpret_cast<FakeKey*>(hKey);
  return ERROR_SUCCESS;
}

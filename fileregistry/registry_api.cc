// The Reg* functions over the store file.
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "fileregistry/reg_text.h"
#include "fileregistry/store.h"
#include "fileregistry/store_file.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

struct OpenKey {
  std::string path;  // as stored
  REGSAM access;
};

// Handles given out and not yet closed.
std::mutex handles_mutex;
std::unordered_set<OpenKey*> handles;

HKEY NewHandle(const std::string& path, REGSAM access) {
  auto* key = new OpenKey{path, access};
  std::lock_guard<std::mutex> lock(handles_mutex);
  handles.insert(key);
  return reinterpret_cast<HKEY>(key);
}

// The key behind `hkey`: HKEY_LOCAL_MACHINE itself, with every right, or an
// open handle. Null when the handle is not valid.
bool Resolve(HKEY hkey, OpenKey* key) {
  if (hkey == HKEY_LOCAL_MACHINE) {
    *key = OpenKey{"", KEY_ALL_ACCESS};
    return true;
  }
  std::lock_guard<std::mutex> lock(handles_mutex);
  auto found = handles.find(reinterpret_cast<OpenKey*>(hkey));
  if (found == handles.end()) return false;
  *key = **found;
  return true;
}

// Joins a parent path and a sub key; sub keys may not start with a
// backslash or have empty parts.
bool JoinPath(const std::string& parent, const char* sub_key, std::string* path) {
  std::string sub = sub_key != nullptr ? sub_key : "";
  if (!sub.empty() && sub.back() == '\\') sub.pop_back();
  if (sub.empty()) {
    *path = parent;
    return true;
  }
  if (!IsWritableKeyPath(sub)) return false;
  *path = parent.empty() ? sub : parent + "\\" + sub;
  return true;
}

// Windows' 32-bit view: in a 64-bit machine's registry, which holds
// Software\Wow6432Node, a KEY_WOW64_32KEY open or create of Software\X works
// on Software\Wow6432Node\X. A 32-bit machine's registry has one view.
std::string InView(const Store& store, const std::string& path, REGSAM access) {
  const std::string_view software = "Software", redirected = "Software\\Wow6432Node";
  std::string unused;
  if ((access & KEY_WOW64_32KEY) == 0 || (access & KEY_WOW64_64KEY) != 0 ||
      !IsAtOrBelow(path, software) || IsAtOrBelow(path, redirected) ||
      !store.FindKey(redirected, &unused)) {
    return path;
  }
  return std::string(redirected) + path.substr(software.size());
}

// Runs a Reg* call. A store too large for the memory the process may have
// fails it with 14, as on Windows, instead of ending the program.
template <typename Call>
LSTATUS Guarded(const Call& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    std::string path;
    StorePath(&path);
    return Refuse(path, "not enough memory to read it (rc 14)", ERROR_OUTOFMEMORY);
  }
}

}  // namespace
}  // namespace fileregistry

using fileregistry::OpenKey;
using fileregistry::Replacement;
using fileregistry::Store;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey parent;
    if (!fileregistry::Resolve(hKey, &parent)) return ERROR_INVALID_HANDLE;
    std::string path;
    if (!fileregistry::JoinPath(parent.path, lpSubKey, &path)) return ERROR_FILE_NOT_FOUND;

    std::string store_path;
    if (long status = fileregistry::StorePath(&store_path)) return status;
    std::shared_ptr<const Store> store;
    if (long status = fileregistry::LoadStore(store_path, &store)) return status;
    path = fileregistry::InView(*store, path, samDesired);
    std::string stored_path;
    bool found = store->FindKey(path, &stored_path);
    if (!store->Intact()) return fileregistry::StoreNotIntact(store_path, *store);
    if (!found) return ERROR_FILE_NOT_FOUND;
    *phkResult = fileregistry::NewHandle(stored_path, samDesired);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey parent;
    if (!fileregistry::Resolve(hKey, &parent)) return ERROR_INVALID_HANDLE;
    std::string path;
    if (!fileregistry::JoinPath(parent.path, lpSubKey, &path)) return ERROR_BAD_PATHNAME;

    std::string store_path;
    if (long status = fileregistry::StorePath(&store_path)) return status;
    std::shared_ptr<const Store> store;
    if (long status = fileregistry::LoadStore(store_path, &store)) return status;
    std::string stored_path;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    bool found = store->FindKey(fileregistry::InView(*store, path, samDesired), &stored_path);
    if (!store->Intact()) return fileregistry::StoreNotIntact(store_path, *store);
    if (!found) {
      // Check again under the lock: another process may have made it meanwhile.
      long status =
          fileregistry::UpdateStore(store_path, true, [&](const Store& current, Replacement* file) {
            std::string view_path = fileregistry::InView(current, path, samDesired);
            if (current.FindKey(view_path, &stored_path)) return 0L;
            stored_path = view_path;
            disposition = REG_CREATED_NEW_KEY;
            return current.AddKey(view_path, file);
          });
      if (status != 0) return status;
    }
    if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    *phkResult = fileregistry::NewHandle(stored_path, samDesired);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    OpenKey key;
    if (!fileregistry::Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;

    std::string store_path;
    if (long status = fileregistry::StorePath(&store_path)) return status;
    std::shared_ptr<const Store> store;
    if (long status = fileregistry::LoadStore(store_path, &store)) return status;
    std::string stored_path;
    fileregistry::RegValue value;
    bool key_found = store->FindKey(key.path, &stored_path);
    bool found = key_found && store->FindValue(key.path, lpValueName ? lpValueName : "", &value);
    if (!store->Intact()) return fileregistry::StoreNotIntact(store_path, *store);
    if (!key_found) return ERROR_KEY_DELETED;
    if (!found) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = value.type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(value.data.size());
    if (lpData == nullptr) return ERROR_SUCCESS;
    if (value.data.size() > room) return ERROR_MORE_DATA;
    memcpy(lpData, value.data.data(), value.data.size());
    return ERROR_SUCCESS;
  });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::string name = lpValueName != nullptr ? lpValueName : "";
    if (!fileregistry::IsWritableName(name)) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    if (!fileregistry::Resolve(hKey, &key)) return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;

    fileregistry::RegValue value;
    value.type = dwType;
    if (cbData != 0) value.data.assign(reinterpret_cast<const char*>(lpData), cbData);
    std::string store_path;
    if (long status = fileregistry::StorePath(&store_path)) return status;
    // Windows stores a text with the zero behind it when the count left it out,
    // reading that byte as we do here.
    bool text = dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
    bool zero_behind = text && cbData > 0 && lpData[cbData - 1] != 0 && lpData[cbData] == 0;
    return fileregistry::UpdateStore(
        store_path, false, [&](const Store& current, Replacement* file) {
          std::string stored_path;
          if (!current.FindKey(key.path, &stored_path)) return ERROR_KEY_DELETED;
          return current.SetValue(stored_path, name, value, zero_behind, file);
        });
  });
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto* key = reinterpret_cast<OpenKey*>(hKey);
  {
    std::lock_guard<std::mutex> lock(fileregistry::handles_mutex);
    if (fileregistry::handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

// The Reg* functions over the store file.
#include "fileregistry/registry_api.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "fileregistry/key_path.h"
#include "fileregistry/refusal.h"
#include "fileregistry/store.h"
#include "fileregistry/store/store_run.h"
#include "fileregistry/store/store_transaction.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

// The run the calls share, begun when one first needs the store: its path
// is worked out, and walked, once for the process. Left for the process's
// end to reclaim.
std::mutex run_mutex;
std::shared_ptr<StoreRun>* the_run = new std::shared_ptr<StoreRun>;

std::shared_ptr<StoreRun> Run() {
  std::lock_guard<std::mutex> lock(run_mutex);
  if (!*the_run) *the_run = std::make_shared<StoreRun>();
  return *the_run;
}

struct KeyHandle {
  std::string path;  // as stored
  REGSAM access;
};

// Handles given out and not yet closed.
std::mutex handles_mutex;
std::unordered_set<KeyHandle*> handles;

HKEY NewHandle(const std::string& path, REGSAM access) {
  auto* key = new KeyHandle{path, access};
  std::lock_guard<std::mutex> lock(handles_mutex);
  handles.insert(key);
  return reinterpret_cast<HKEY>(key);
}

// Sets `*key` to the key behind `hkey`: HKEY_LOCAL_MACHINE itself, with
// every right, or an open handle. False when the handle is not valid.
bool KeyOf(HKEY hkey, KeyHandle* key) {
  if (hkey == HKEY_LOCAL_MACHINE) {
    *key = KeyHandle{"", KEY_ALL_ACCESS};
    return true;
  }
  std::lock_guard<std::mutex> lock(handles_mutex);
  auto found = handles.find(reinterpret_cast<KeyHandle*>(hkey));
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

// A lookup's status as the calls give it: damage is said, and keeps that
// version of the file from being written.
LSTATUS Checked(StoreRun& run, const Store& store, LSTATUS status) {
  return status == ERROR_REGISTRY_IO_FAILED ? run.Damaged(store) : status;
}

// Sets `*view_path` to `path` in the view that `access` asks for, and
// `*stored_path` to that key as stored. Returns 0, 2 when it is missing, or
// damage.
LSTATUS FindKeyInView(StoreRun& run, const Store& store, const std::string& path, REGSAM access,
                      std::string* view_path, std::string* stored_path) {
  *view_path = path;
  if (GoesTo32BitView(path, access)) {
    LSTATUS sixty_four_bit = Checked(run, store, store.FindKey(kWow64Key, stored_path));
    if (sixty_four_bit == ERROR_SUCCESS) *view_path = In32BitView(path);
    if (sixty_four_bit != ERROR_FILE_NOT_FOUND && sixty_four_bit != ERROR_SUCCESS) {
      return sixty_four_bit;
    }
  }
  return Checked(run, store, store.FindKey(*view_path, stored_path));
}

// Makes key `path` (in the view `access` asks for) under the store's lock,
// unless another process made it meanwhile. Sets `*stored_path` and
// `*disposition`. Returns 0 or a status.
LSTATUS MakeKey(StoreRun& run, const std::string& path, REGSAM access, std::string* stored_path,
                DWORD* disposition) {
  StoreTransaction tx(run);
  LSTATUS status;
  do {
    if ((status = tx.Begin(true))) return status;
    std::string view_path;
    LSTATUS found = FindKeyInView(run, tx.store(), path, access, &view_path, stored_path);
    if (found != ERROR_FILE_NOT_FOUND) return found;
    *stored_path = view_path;
    Replacement file;
    status = tx.Commit(tx.store().AddKey(view_path, &file), file);
  } while (tx.again());
  if (status == ERROR_SUCCESS) *disposition = REG_CREATED_NEW_KEY;
  return status;
}

// Sets value `name` of key `path` to `value`, under the store's lock.
LSTATUS SetValue(StoreRun& run, const std::string& path, const std::string& name,
                 const RegValue& value, bool zero_behind) {
  StoreTransaction tx(run);
  if (LSTATUS status = tx.Begin(false)) return status;
  std::string stored_path;
  LSTATUS found = Checked(run, tx.store(), tx.store().FindKey(path, &stored_path));
  if (found != ERROR_SUCCESS) return found == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : found;
  Replacement file;
  return tx.Commit(tx.store().SetValue(stored_path, name, value, zero_behind, &file), file);
}

// Runs a Reg* call. A store too large for the memory the process may have
// fails it with 14, as on Windows, instead of ending the program.
template <typename Call>
LSTATUS Guarded(const Call& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    // What the call held is freed by now; saying so may still need memory.
    try {
      Refuse(Run()->path(), "not enough memory to read it", ERROR_OUTOFMEMORY);
    } catch (const std::bad_alloc&) {
      // Nothing left to say it with: the status tells.
    }
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace

void StartNewRun() {
  std::lock_guard<std::mutex> lock(run_mutex);
  the_run->reset();
}

}  // namespace fileregistry

using fileregistry::KeyHandle;
using fileregistry::Store;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyHandle parent;
    if (!fileregistry::KeyOf(hKey, &parent)) return ERROR_INVALID_HANDLE;
    std::string path, view_path, stored_path;
    if (!fileregistry::JoinPath(parent.path, lpSubKey, &path)) return ERROR_FILE_NOT_FOUND;

    auto run = fileregistry::Run();
    std::shared_ptr<const Store> store;
    if (LSTATUS status = run->Read(&store)) return status;
    if (LSTATUS status =
            fileregistry::FindKeyInView(*run, *store, path, samDesired, &view_path, &stored_path)) {
      return status;
    }
    *phkResult = fileregistry::NewHandle(stored_path, samDesired);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  return fileregistry::Guarded([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyHandle parent;
    if (!fileregistry::KeyOf(hKey, &parent)) return ERROR_INVALID_HANDLE;
    std::string path, view_path, stored_path;
    if (!fileregistry::JoinPath(parent.path, lpSubKey, &path)) return ERROR_BAD_PATHNAME;

    auto run = fileregistry::Run();
    std::shared_ptr<const Store> store;
    if (LSTATUS status = run->Read(&store)) return status;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    LSTATUS found =
        fileregistry::FindKeyInView(*run, *store, path, samDesired, &view_path, &stored_path);
    if (found == ERROR_FILE_NOT_FOUND) {
      found = fileregistry::MakeKey(*run, path, samDesired, &stored_path, &disposition);
    }
    if (found != ERROR_SUCCESS) return found;
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
    KeyHandle key;
    if (!fileregistry::KeyOf(hKey, &key)) return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;

    auto run = fileregistry::Run();
    std::shared_ptr<const Store> store;
    if (LSTATUS status = run->Read(&store)) return status;
    std::string stored_path;
    LSTATUS found = fileregistry::Checked(*run, *store, store->FindKey(key.path, &stored_path));
    if (found != ERROR_SUCCESS) return found == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : found;
    fileregistry::RegValue value;
    if (LSTATUS status = fileregistry::Checked(
            *run, *store, store->FindValue(key.path, lpValueName ? lpValueName : "", &value))) {
      return status;
    }
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
    KeyHandle key;
    if (!fileregistry::KeyOf(hKey, &key)) return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;

    fileregistry::RegValue value;
    value.type = dwType;
    if (cbData != 0) value.data.assign(reinterpret_cast<const char*>(lpData), cbData);
    // Windows stores a text with the zero behind it when the count left it out,
    // reading that byte as we do here.
    bool zero_behind = fileregistry::IsTextType(dwType) && cbData > 0 && lpData[cbData - 1] != 0 &&
                       lpData[cbData] == 0;
    return fileregistry::SetValue(*fileregistry::Run(), key.path, name, value, zero_behind);
  });
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto* key = reinterpret_cast<KeyHandle*>(hKey);
  {
    std::lock_guard<std::mutex> lock(fileregistry::handles_mutex);
    if (fileregistry::handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

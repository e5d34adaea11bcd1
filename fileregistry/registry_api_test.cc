// The Reg* functions over a store file in a temporary folder.
#include "fileregistry/registry_api.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fileregistry/store/store_run.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"
#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

const char kKey[] = "Software\\Vendor\\App";

class RegistryApi : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = dir_.File("hklm.reg");
    UseStore(store_);
  }
  // Names the store, for the calls' next run.
  static void UseStore(const std::string& path) {
    setenv("KOVALSET_REGISTRY", path.c_str(), 1);
    fileregistry::StartNewRun();
  }

  HKEY Create(const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, disposition));
    return key;
  }
  LONG SetText(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size()));
  }
  // Queries with `room` bytes offered; returns status, fills size and data.
  LONG Query(HKEY key, const char* name, DWORD room, DWORD* size, std::string* data) {
    std::string buffer(room, '#');
    *size = room;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), size);
    *data = buffer;
    return status;
  }

  TempDir dir_;
  std::string store_;
};

TEST_F(RegistryApi, OpenCreateAndReopenInAnyCase) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  DWORD disposition = 0;
  key = Create(kKey, &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  std::string created = ReadFile(store_);
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\n", created);

  key = Create("SOFTWARE\\vendor\\APP", &disposition);
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ(created, ReadFile(store_));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  for (const char* path : {"software\\VENDOR\\app", "Software\\Vendor", "Software"}) {
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) << path;
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  }
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, nullptr, 0,
                                                KEY_ALL_ACCESS, nullptr, &key, nullptr));
}

// A store of one view, its name nearly too long: a key made in the 32-bit
// view is there in any.
TEST_F(RegistryApi, AStoreOfOneViewNamedNearlyTooLong) {
  store_ = dir_.File(std::string(250, 's'));
  UseStore(store_);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\n", ReadFile(store_));
}

TEST_F(RegistryApi, QueryValueSizes) {
  HKEY key = Create(kKey);
  DWORD size;
  std::string data;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(key, "missing", 255, &size, &data));
  ASSERT_EQ(ERROR_SUCCESS, SetText(key, "Value", "hello"));

  EXPECT_EQ(ERROR_MORE_DATA, Query(key, "VALUE", 4, &size, &data));
  EXPECT_EQ(5u, size);
  EXPECT_EQ("####", data) << "the buffer must stay untouched";
  EXPECT_EQ(ERROR_SUCCESS, Query(key, "value", 5, &size, &data));
  EXPECT_EQ(5u, size);
  EXPECT_EQ("hello", data);

  for (size_t length : {0, 1, 255, 256, 70000}) {
    std::string text(length, 'z');
    ASSERT_EQ(ERROR_SUCCESS, SetText(key, "sized", text));
    DWORD room = 255;
    LONG expected = length > room ? ERROR_MORE_DATA : ERROR_SUCCESS;
    EXPECT_EQ(expected, Query(key, "sized", room, &size, &data)) << length;
    EXPECT_EQ(length, size);
  }
  DWORD type = 0;
  size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Value", nullptr, &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(5u, size);
  RegCloseKey(key);
}

TEST_F(RegistryApi, AccessAndHandlesAreChecked) {
  RegCloseKey(Create(kKey));
  HKEY reader = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &reader));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetText(reader, "v", "x"));
  RegCloseKey(reader);
  EXPECT_EQ(ERROR_INVALID_HANDLE, SetText(reader, "v", "x"));
}

TEST_F(RegistryApi, WritesGoThroughASymlinkAndKeepTheFileMode) {
  std::string target = dir_.File("real.reg");
  WriteFile(target, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"a\"=\"b\"\n");
  chmod(target.c_str(), 0640);
  ASSERT_EQ(0, symlink("real.reg", store_.c_str()));
  HKEY key = Create(kKey);
  EXPECT_EQ(ERROR_SUCCESS, SetText(key, "v", "x"));
  RegCloseKey(key);
  struct stat st;
  ASSERT_EQ(0, lstat(store_.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(0, stat(target.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"a\"=\"b\"\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\App]\n\"v\"=\"x\"\n",
      ReadFile(target));
}

// A store that cannot be read is not one without the key: opening fails
// as creating does, and nothing is written.
TEST_F(RegistryApi, AStoreThatCannotBeRead) {
  HKEY key = nullptr;
  const std::string corrupt = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n";
  WriteFile(store_, corrupt);
  EXPECT_EQ(ERROR_BADDB, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_BADDB, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, &key, nullptr));
  EXPECT_EQ(corrupt, ReadFile(store_));
}

TEST_F(RegistryApi, ThirtyTwoBitViewOfA64BitStore) {
  // As exported from 64-bit Windows: the 32-bit view under WOW6432Node.
  const std::string exported =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor]\n\"v\"=\"32\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"v\"=\"64\"\n";
  WriteFile(store_, exported);
  const std::pair<REGSAM, const char*> views[] = {
      {KEY_WOW64_32KEY, "32"}, {KEY_WOW64_64KEY, "64"}, {0, "64"}};
  for (const auto& [view, expected] : views) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor", 0, KEY_READ | view, &key));
    DWORD size;
    std::string data;
    EXPECT_EQ(ERROR_SUCCESS, Query(key, "v", 2, &size, &data));
    EXPECT_EQ(expected, data) << "view " << view;
    RegCloseKey(key);
  }
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vendor\\New", 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, SetText(key, "n", "x"));
  RegCloseKey(key);
  EXPECT_EQ(exported + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor\\New]\n\"n\"=\"x\"\n",
            ReadFile(store_));
}

// A text store is read into memory of its own: another program that
// truncates the file meanwhile reaches nothing of it. A hive is read in
// place, and what is gone is never taken for a missing key.
TEST_F(RegistryApi, AStoreTruncatedUnderItsReader) {
  WriteFile(store_, "REGEDIT4\n\n" + FillerText(10000) +
                        "[HKEY_LOCAL_MACHINE\\Software\\Last]\n\"v\"=\"last\"\n");
  for (bool hive : {false, true}) {
    if (hive) {
      HiveWriter writer(store_);
      AddFillerKeys(&writer, 300);
      writer.SetText("Last", "v", "last");
      writer.Commit();
    }
    std::shared_ptr<const fileregistry::Store> store;
    fileregistry::RegValue value;
    ASSERT_EQ(0, fileregistry::StoreRun().Read(&store));
    ASSERT_EQ(0, store->FindValue("Software\\" + FillerKey(1), "Name", &value));
    ASSERT_EQ(0, truncate(store_.c_str(), 4096));
    if (hive) {
      // Read where it is, cell by cell: the cells gone are damage.
      EXPECT_EQ(ERROR_REGISTRY_IO_FAILED, store->FindValue("Software\\Last", "v", &value));
      EXPECT_FALSE(store->Intact());
    } else {
      ASSERT_EQ(0, store->FindValue("Software\\Last", "v", &value));
      EXPECT_EQ("last", value.data);
      EXPECT_TRUE(store->Intact());
    }
  }
}

// A SOFTWARE hive is HKLM\Software and nothing else; its names keep their
// case and match in any; a write keeps the file's mode.
TEST_F(RegistryApi, AHiveIsTheSoftwareKey) {
  // The test hive is one hivex's own shell takes, edits and commits.
  WriteFile(store_, EmptyHive());
  WriteFile(dir_.File("script"), "add Checked\ncommit\n");
  EXPECT_EQ(0, RunProcess({"hivexsh", "-w", "-f", dir_.File("script"), store_}, {}).status);
  EXPECT_EQ(0, RunProcess({"hivexget", store_, "\\Checked"}, {}).status);
  WriteFile(store_, EmptyHive());
  chmod(store_.c_str(), 0640);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\Setup", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key));
  RegCloseKey(key);
  key = Create("Software\\Vendor\\App");
  EXPECT_EQ(ERROR_SUCCESS, SetText(key, "Name", "v"));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VENDOR\\app", 0, KEY_READ, &key));
  DWORD size;
  std::string data;
  EXPECT_EQ(ERROR_SUCCESS, Query(key, "NAME", 4, &size, &data));
  EXPECT_EQ(2u, size) << "\"v\" and the zero Windows stores behind it";
  RegCloseKey(key);
  EXPECT_EQ("v", HiveText(store_, "Vendor\\App", "Name"));
  struct stat st;
  ASSERT_EQ(0, stat(store_.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
}

// The Win32 calls may be made from any thread; so may ours.
TEST_F(RegistryApi, ThreadsShareTheRegistry) {
  RegCloseKey(Create(kKey));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != 0) ++failures;
      std::string name = "t" + std::to_string(t);
      for (int i = 0; i < 20; ++i) {
        DWORD size;
        std::string data;
        if (SetText(key, name.c_str(), std::to_string(i)) != 0) ++failures;
        if (Query(key, name.c_str(), 8, &size, &data) != 0) ++failures;
      }
      RegCloseKey(key);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
}

}  // namespace

// An in-memory registry behind the Reg* functions, for tests. It keeps keys
// and values as the real one does (names match without regard to ASCII case),
// records every call, and can be told to fail any of them.
#ifndef TESTS_FAKE_REGISTRY_H_
#define TESTS_FAKE_REGISTRY_H_

#include <map>
#include <string>
#include <vector>

#include "settings/registry_access.h"

struct FakeRegistry {
  enum Call { kOpen, kCreate, kQuery, kSet, kClose };

  struct Value {
    DWORD type;
    std::string bytes;
  };
  struct Failure {
    Call call;
    std::string target;  // key path or value name the failure applies to; empty: any
    LONG status;
  };

  // The one registry every Reg* call of the process goes to.
  static FakeRegistry& Get();
  // Forgets all keys, values, failures and recorded calls.
  void Reset();

  void AddKey(const std::string& path);
  void SetText(const std::string& path, const std::string& name, const std::string& text);
  bool HasKey(const std::string& path) const;
  // The stored value, or null.
  const Value* Find(const std::string& path, const std::string& name) const;
  void Fail(Call call, const std::string& target, LONG status);

  // Key paths and value names in lower case.
  std::map<std::string, std::map<std::string, Value>> keys;
  std::vector<Failure> failures;
  std::vector<std::string> log;  // one line per call, e.g. "set Debug messages"
  int open_handles = 0;
};

#endif  // TESTS_FAKE_REGISTRY_H_

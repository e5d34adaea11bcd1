// The changes a write makes to a hive, each as what hivex does to a
// writable handle in the child that writes (HiveEdit) and what the new hive
// must then hold (HiveCheck): hivex and the hive reader (hive_reader.h)
// must find the changed key at the same cell, and agree on its values.
#ifndef FILEREGISTRY_HIVE_HIVE_CHANGES_H_
#define FILEREGISTRY_HIVE_HIVE_CHANGES_H_

#include <string>
#include <vector>

#include "fileregistry/hive/hive_edit.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/store.h"

namespace fileregistry {

// Adds key `path` (below Software) and every missing key above it.
HiveEdit AddingKey(const std::string& path);
// That key `path` is there, for hivex and for the reader alike.
HiveCheck KeyAdded(const std::string& path);

// Sets value `name` of the existing key `path` to `stored`, as the hive
// holds it (texts in UTF-16LE); a value keeps the case of the name it was
// created with. 1014 (the key deleted) where `path` is missing.
HiveEdit SettingValue(const std::string& path, const std::string& name, const RegValue& stored);
// That value `name` of key `path` is `stored`, and its other values are
// `others`, byte for byte, for hivex and for the reader alike: hivex
// rewrites every value of a key to set one.
HiveCheck ValueSet(const std::string& path, const std::string& name, const RegValue& stored,
                   const std::vector<NamedValue>& others);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_CHANGES_H_

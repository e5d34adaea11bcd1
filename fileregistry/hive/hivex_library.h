// hivex, loaded when a hive is first written, so that a run on a text store
// never pays for loading it, nor a view of a hive.
#ifndef FILEREGISTRY_HIVE_HIVEX_LIBRARY_H_
#define FILEREGISTRY_HIVE_HIVEX_LIBRARY_H_

#include <hivex.h>

#include <string>

namespace fileregistry {

struct HivexLibrary {
  decltype(&::hivex_open) open;
  decltype(&::hivex_close) close;
  decltype(&::hivex_root) root;
  decltype(&::hivex_node_name) node_name;
  decltype(&::hivex_node_get_child) node_get_child;
  decltype(&::hivex_node_add_child) node_add_child;
  decltype(&::hivex_node_values) node_values;
  decltype(&::hivex_node_set_value) node_set_value;
  decltype(&::hivex_value_key) value_key;
  decltype(&::hivex_value_value) value_value;
  decltype(&::hivex_visit) visit;
  decltype(&::hivex_commit) commit;
};

// Loads hivex (libhivex.so.0) once for the process. Returns 0, or the errno
// value of the failure (EINVAL where there is none), with `*why` set.
int LoadHivex(std::string* why);

// The loaded library; only after LoadHivex succeeded.
const HivexLibrary& Hivex();

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVEX_LIBRARY_H_

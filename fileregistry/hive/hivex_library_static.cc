// hivex linked in, for the statically linked program.
#include "fileregistry/hive/hivex_library.h"

namespace fileregistry {

int LoadHivex(std::string*) { return 0; }

const HivexLibrary& Hivex() {
  static const HivexLibrary library = {
      hivex_open,           hivex_close,          hivex_root,        hivex_node_name,
      hivex_node_get_child, hivex_node_add_child, hivex_node_values, hivex_node_set_value,
      hivex_value_key,      hivex_value_value,    hivex_visit,       hivex_commit};
  return library;
}

}  // namespace fileregistry

// A hive's cells, read in one pass over its bins: what tells a change that
// freed a cell some key still lists (hivex frees a key's old lists and
// values when it writes new ones) without reading every key and value.
#ifndef FILEREGISTRY_HIVE_HIVE_CELLS_H_
#define FILEREGISTRY_HIVE_HIVE_CELLS_H_

namespace fileregistry {

// Whether every cell that a cell in use of the hive open as `fd` refers to
// is itself a cell in use: a key's lists of subkeys and of values and the
// values listed, the keys (or lists) a key list names, a value's data, big
// data's list of segments and the segments. Cells are told by their
// signatures, so data that happens to begin like a key or a list is read
// as one. False too when the bins do not follow one another to their end,
// or the file cannot be mapped; never more than one pass over the file.
bool RefersOnlyToCellsInUse(int fd);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_CELLS_H_

// Reading and writing the text values under the settings key.
#ifndef SETTINGS_TEXT_VALUE_H_
#define SETTINGS_TEXT_VALUE_H_

#include "settings/registry_access.h"

// Room for a stored value: a text of at most 255 bytes and its terminating
// zero.
typedef char ValueBuffer[256];

// Reads value `name` of `key` into `buffer` as a terminated text. A text of
// 255 bytes is accepted with or without its stored zero; anything longer is
// ERROR_MORE_DATA. Returns the registry status; `buffer` holds the text only
// when that is 0.
LONG ReadTextValue(HKEY key, const char* name, ValueBuffer& buffer);

// Stores `text` as value `name` of `key`, type REG_SZ, with a byte count of the
// text's length without its terminating zero. Returns the registry status.
LONG WriteTextValue(HKEY key, const char* name, const char* text);

#endif  // SETTINGS_TEXT_VALUE_H_

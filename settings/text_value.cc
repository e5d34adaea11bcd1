#include "settings/text_value.h"

#include <cstring>

LONG ReadTextValue(HKEY key, const char* name, ValueBuffer& buffer) {
  // The whole buffer is offered: Windows stores a 255-character text with its
  // terminating zero, in 256 bytes.
  DWORD size = sizeof(buffer);
  LONG status =
      RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  if (status != 0) return status;
  if (size > sizeof(buffer) || (size == sizeof(buffer) && buffer[size - 1] != '\0')) {
    return ERROR_MORE_DATA;  // a text longer than 255 characters
  }
  if (size < sizeof(buffer)) buffer[size] = '\0';
  return 0;
}

LONG WriteTextValue(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text)));
}

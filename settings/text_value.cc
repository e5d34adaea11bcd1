#include "settings/text_value.h"

#include <cstring>

LONG ReadTextValue(HKEY key, const char* name, ValueBuffer& buffer) {
  DWORD size = sizeof(buffer) - 1;
  LONG status =
      RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  if (status == 0) buffer[size < sizeof(buffer) ? size : sizeof(buffer) - 1] = '\0';
  return status;
}

LONG WriteTextValue(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text)));
}

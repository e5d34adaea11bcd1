#include "settings/debug_setting.h"

#include <cstdio>

#include "settings/text_value.h"

namespace {
const char kDebugValueName[] = "Debug messages";
}  // namespace

bool RunDebugStep(HKEY key, const char* new_value) {
  bool ok = true;
  ValueBuffer stored;
  LONG status = ReadTextValue(key, kDebugValueName, stored);
  if (status == 0) {
    printf("Current Debug Messages : %s\n", stored);
  } else if (status == ERROR_FILE_NOT_FOUND) {
    printf("Debug Messages entry does not exist.\n");
  } else {
    printf("Error: Unable to read Debug Messages: rc %ld.\n", static_cast<long>(status));
    ok = false;
  }
  if (new_value == nullptr) return ok;

  printf("Updating Debug Messages to : %s\n", new_value);
  status = WriteTextValue(key, kDebugValueName, new_value);
  if (status != 0) {
    printf("Error: Unable to update Debug Messages : rc %ld.\n", static_cast<long>(status));
    return false;
  }
  return ok;
}

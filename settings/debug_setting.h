// The "Debug messages" value: the requester's debug-message setting, a free
// text that is shown and stored as typed.
#ifndef SETTINGS_DEBUG_SETTING_H_
#define SETTINGS_DEBUG_SETTING_H_

#include "settings/registry_access.h"

// Shows the stored setting, then writes `new_value` unless it is null. Never
// creates a default. Returns false when it printed an error line.
bool RunDebugStep(HKEY key, const char* new_value);

#endif  // SETTINGS_DEBUG_SETTING_H_

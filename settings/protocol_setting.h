// The "Supported protocols" value: which transports the requester may use.
#ifndef SETTINGS_PROTOCOL_SETTING_H_
#define SETTINGS_PROTOCOL_SETTING_H_

#include "settings/registry_access.h"

// Upper-case protocol names joined by single commas; empty when the command
// line asked for no change.
struct ProtocolList {
  char text[256];  // at most 255 characters and the terminating zero
};

// Appends `name` to `list`. Returns false, leaving `list` alone, when it would
// not fit.
bool AppendProtocol(ProtocolList* list, const char* name);

// Shows the stored list, then writes `list` when it is not empty. Where no list
// is stored it creates one from `list`, which it first fills with the default
// SPX,TCPIP when empty. A list that exists but cannot be read is never
// replaced by the default. Returns false when it printed an error line.
bool RunProtocolStep(HKEY key, ProtocolList* list);

#endif  // SETTINGS_PROTOCOL_SETTING_H_

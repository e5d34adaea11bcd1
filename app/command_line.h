// The command line: the keywords SPX, TCPIP and DEBUGMSG, in any case.
#ifndef APP_COMMAND_LINE_H_
#define APP_COMMAND_LINE_H_

#include "settings/protocol_setting.h"

// What the words ask the run to do.
struct RunSettings {
  ProtocolList protocol_list = {};
  bool debug_requested = false;
  const char* debug_value = nullptr;  // the word after DEBUGMSG, as typed
};

// Scans words 1 to argc-1, upper-casing each keyword candidate in place.
// Returns the first word that is not a keyword (or does not fit in the
// protocol list, or is a debug value longer than 255 bytes), upper-cased, or
// null when all are valid.
const char* ScanCommandLine(int argc, char** argv, RunSettings* settings);

#endif  // APP_COMMAND_LINE_H_

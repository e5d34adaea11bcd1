#include "app/kovalset.h"

#include <cstdio>

#include "app/command_line.h"
#include "settings/debug_setting.h"
#include "settings/protocol_setting.h"
#include "settings/settings_key.h"

const char kTitle[] = "QUOBRANT - WindowsNT/Windows95 Requester Configuration Utility.";
const char kNotice[] = KOVALSET_NOTICE;

namespace {

void PrintBanner() {
  printf("%s\n", kTitle);
  printf("%s\n\n", kNotice);
}

// Returns true when every step succeeded.
bool Run(int argc, char** argv) {
  RunSettings settings;
  if (const char* invalid = ScanCommandLine(argc, argv, &settings)) {
    printf("Error: Invalid parameter %s.\n", invalid);
    printf("Usage: KOVALSET [%s] [%s]\n", "SPX", "TCPIP");
    return false;
  }

  SettingsKey key;
  if (!OpenSettingsKey(&key)) return false;
  bool ok = RunProtocolStep(key.get(), &settings.protocol_list);
  if (settings.debug_requested) ok = RunDebugStep(key.get(), settings.debug_value) && ok;
  return ok;
}

}  // namespace

int RunKovalset(int argc, char** argv) {
  PrintBanner();
  bool ok = Run(argc, argv);
  if (fflush(stdout) != 0 || ferror(stdout)) ok = false;
  return ok ? 0 : 1;
}

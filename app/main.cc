#include <csignal>

#include "app/kovalset.h"

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // Output to a closed pipe is an error to report in the exit status, not a
  // reason to die halfway through a run.
  signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
  // So is a file that would pass the size limit: the write fails (EFBIG),
  // and the run ends with its status and the store as it was.
  signal(SIGXFSZ, SIG_IGN);
#endif
  return RunKovalset(argc, argv);
}

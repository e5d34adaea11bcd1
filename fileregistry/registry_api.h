// The run that the Reg* calls of win32_registry.h share: one for the
// process, begun when a call first needs the store (store/store_run.h).
#ifndef FILEREGISTRY_REGISTRY_API_H_
#define FILEREGISTRY_REGISTRY_API_H_

namespace fileregistry {

// Ends the run the calls share: the next call begins another, which works
// out anew where the store lives. For tests that name another store; not
// while calls are being made.
void StartNewRun();

}  // namespace fileregistry

#endif  // FILEREGISTRY_REGISTRY_API_H_

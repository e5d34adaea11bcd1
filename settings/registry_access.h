// The registry operations the utility uses: RegOpenKeyExA, RegCreateKeyExA,
// RegQueryValueExA, RegSetValueExA and RegCloseKey, with their Win32 names,
// types and signatures. On Windows they are the system's own; elsewhere the
// file registry provides them.
#ifndef SETTINGS_REGISTRY_ACCESS_H_
#define SETTINGS_REGISTRY_ACCESS_H_

#ifdef _WIN32
#include <windows.h>
#else
#include "fileregistry/win32_registry.h"
#endif

#endif  // SETTINGS_REGISTRY_ACCESS_H_

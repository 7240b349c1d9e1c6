// The POSIX host binding of PlatformServices.
//
// Loading is dlopen(RTLD_NOW | RTLD_LOCAL) of the name with each "\" turned
// back into "/"; lookup is dlsym. Last error codes are host errno numbers:
//   2  (ENOENT)  the module file does not exist, the name is empty, or a name
//                without "/" was not found on the library search path
//   8  (ENOEXEC) the file exists but is not a loadable module (or one that it
//                needs cannot be loaded)
//   21 (EISDIR)  the name is a directory
//   38 (ENOSYS)  the module has no export of that name
//   any other errno that opening the named file gives (EACCES, ELOOP, ...)
// A message box is written to standard error as one header line
// "<caption> [error]" or "<caption> [information]" (or "[style 0xNN]" for any
// other style), then the text exactly as given, then a line feed. It never
// waits for anyone.
#pragma once

#include "registration/platform_services.h"

const PlatformServices& PosixPlatformServices();

// Opens each of the standard descriptors 0, 1 and 2 that is closed on
// /dev/null, so that no file a module opens can take one of their numbers and
// receive the tool's text. Called first, before anything else runs.
void OpenClosedStandardDescriptors();

// The POSIX host binding of PlatformServices.
//
// Loading is dlopen(RTLD_NOW | RTLD_LOCAL) of the name with each "\" turned
// back into "/"; lookup is dlsym. A name with a "/" is checked with stat
// first, and anything but a regular file is refused without being opened, so
// that no FIFO, socket or device can hold the tool; a bare name is left to the
// loader's library search unchecked. Last error codes are host errno numbers:
//   2  (ENOENT)  the module file does not exist, the name is empty, or a name
//                without "/" was not found on the library search path
//   8  (ENOEXEC) the file is regular but not a loadable module (or one that
//                it needs cannot be loaded)
//   21 (EISDIR)  the name is a directory
//   22 (EINVAL)  the name is a FIFO, a socket or a device
//   38 (ENOSYS)  the module has no export of that name
//   any other errno that stat or opening the named file gives (EACCES, ELOOP,
//   ENOTDIR, ...)
// A message box is written to standard error as one header line
// "<caption> [error]" or "<caption> [information]" (or "[style 0xNN]" for any
// other style), then the text exactly as given, then a line feed. The write
// waits only when standard error does (a full pipe nobody reads, say); a
// reader that has gone loses the box but not the status.
#pragma once

#include "registration/platform_services.h"

const PlatformServices& PosixPlatformServices();

// Opens each of the standard descriptors 0, 1 and 2 that is closed on
// /dev/null, so that no file a module opens can take one of their numbers and
// receive the tool's text. Called first, before anything else runs.
void OpenClosedStandardDescriptors();

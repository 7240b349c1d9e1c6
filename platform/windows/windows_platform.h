// The desktop Windows binding of PlatformServices.
//
// Loading is LoadLibraryExW without flags (that is, LoadLibraryW) and lookup
// GetProcAddress with the export name narrowed to ASCII (a name with any other
// unit is refused as not found, with ERROR_PROC_NOT_FOUND); last error codes
// are the system's own GetLastError values. Formatting, the searches and the
// fill are the portable ones, and EndProcess is ExitProcess, so the image
// imports KERNEL32 alone.
//
// A box is MessageBoxW with no owner, found when the box is about to be shown
// in the system's own USER32.dll, loaded from the system directory alone
// (never through the search path). There is no box when that fails or when no
// person could see it (MessageBoxesCanBeSeen), and the run's status is what it
// would have been with one.
//
// This is the one place where the system's wchar_t text and the core's
// char16_t text meet; both are UTF-16 units on this platform.
#pragma once

#include "registration/platform_services.h"

const PlatformServices& WindowsPlatformServices();

// Whether a box shown by this process could be seen and dismissed by a
// person: USER32 loads from the system directory and the process's window
// station is visible (WSF_VISIBLE). Loads USER32 into the process.
bool MessageBoxesCanBeSeen();

// What a WinMain receives as its command line: the process command line with
// the program's own name (quoted or not) and the white space after it skipped.
const char16_t* SkipProgramName(const char16_t* commandLine);

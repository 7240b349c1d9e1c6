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
// (never through the search path). A box can be seen (BoxesCanBeSeen) only
// when that loads and the process's window station is visible (WSF_VISIBLE);
// otherwise the run shows none and its status is what it would have been with
// one. A run that shows no box turns the system's own error boxes off first
// (PrepareRun).
//
// This is the one place where the system's wchar_t text and the core's
// char16_t text meet; both are UTF-16 units on this platform.
#pragma once

#include "registration/platform_services.h"

const PlatformServices& WindowsPlatformServices();

// What a WinMain receives as its command line: the process command line with
// the program's own name (quoted or not) and the white space after it skipped.
const char16_t* SkipProgramName(const char16_t* commandLine);

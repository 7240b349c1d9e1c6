// The desktop Windows binding of PlatformServices.
//
// Loading is LoadLibraryW and lookup GetProcAddress with the export name
// narrowed to ASCII (a name with any other unit is refused as not found, with
// ERROR_PROC_NOT_FOUND); last error codes are the system's own GetLastError
// values. Formatting is wsprintfW, a box is MessageBoxW with no owner, and the
// searches and the fill are the portable ones. EndProcess is ExitProcess.
//
// This is the one place where the system's wchar_t text and the core's
// char16_t text meet; both are UTF-16 units on this platform.
#pragma once

#include "registration/platform_services.h"

const PlatformServices& WindowsPlatformServices();

// What a WinMain receives as its command line: the process command line with
// the program's own name (quoted or not) and the white space after it skipped.
const char16_t* SkipProgramName(const char16_t* commandLine);

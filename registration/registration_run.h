// The registration run from program entry to process end.
#pragma once

#include "registration/platform_services.h"

// The process exit status, one per outcome.
enum ExitStatus : int32_t {
  StatusSucceeded = 0,
  StatusUsage = -1,
  StatusLoadFailed = -2,
  StatusEntryNotFound = -3,
  StatusEntryFailed = -4,
};

// Parses the command line, loads the module, calls its DllRegisterServer or
// DllUnregisterServer, reports in at most one message box and returns the
// outcome. Of the four entry values only the command line is used.
ExitStatus RunRegistration(const PlatformServices& services, void* instance, void* previousInstance,
                           const char16_t* commandLine, int showState);

// The program entry's logic: runs the registration and ends the process with
// its status. Returns the status only on a platform whose entry ends the
// process by returning it (EndProcess is null there).
int32_t RunProgram(const PlatformServices& services, void* instance, void* previousInstance,
                   const char16_t* commandLine, int showState);

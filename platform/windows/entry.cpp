// The program entry of comenrol.exe, with no C runtime under it: the process
// starts here, runs the registration and ends with its status.
#include <windows.h>

#include "platform/windows/windows_platform.h"
#include "registration/registration_run.h"

namespace {

// An exception that escapes the run, such as a fault inside the called entry,
// is accepted here; the system then ends the process with the exception code
// as its status, and no debugger or error box is started.
LONG WINAPI AcceptEscapedException(EXCEPTION_POINTERS* /*exception*/) {
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// The image's own base, which is its instance handle; the linker defines it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Named as the image's entry point by the link; there are no static
// initialisers to run and no exit handlers to call.
extern "C" void WINAPI ComenrolEntry() {
  SetUnhandledExceptionFilter(AcceptEscapedException);
  const char16_t* commandLine =
      SkipProgramName(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  // Of the four entry values the run uses only the command line, so the show
  // state is passed as the default rather than read from the startup record.
  // RunProgram ends the process through EndProcess, ExitProcess here.
  RunProgram(WindowsPlatformServices(), &__ImageBase, nullptr, commandLine, SW_SHOWDEFAULT);
}

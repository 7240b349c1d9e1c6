// The program entry of comenrol.exe, with no C runtime under it: the process
// starts here, runs the registration and ends with its status.
#include <windows.h>

#include "platform/windows/windows_platform.h"
#include "registration/registration_run.h"

namespace {

// An exception that escapes the run, such as a fault or a stack overflow
// inside the called entry, ends the process here and now, with the exception
// code as its status. Nothing else runs after the fault: no debugger or error
// box is started, and no module's detach code runs on a broken stack.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  // The pseudo handle -1 is the current process, as GetCurrentProcess returns.
  TerminateProcess(reinterpret_cast<HANDLE>(-1), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// The image's own base, which is its instance handle; the linker defines it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Named as the image's entry point by the link; there are no static
// initialisers to run and no exit handlers to call.
extern "C" void ComenrolEntry() {
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  const char16_t* commandLine =
      SkipProgramName(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  // Of the four entry values the run uses only the command line, so the show
  // state is passed as the default rather than read from the startup record.
  // RunProgram ends the process through EndProcess, ExitProcess here.
  RunProgram(WindowsPlatformServices(), &__ImageBase, nullptr, commandLine, SW_SHOWDEFAULT);
}

// The program entry of comenrol.exe, with no C runtime under it: the process
// starts here, runs the registration and ends with its status.
#include <windows.h>

#include "platform/windows/windows_platform.h"
#include "registration/command_line.h"
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

// The system's own error boxes (a missing removable disk, a file that will
// not open, a fault) are turned off for a run that shows no box of its own:
// nobody would be there to answer them.
constexpr UINT NoSystemErrorBoxes =
    SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX;

// Whether the run shows no box at all: it is silent, or no person could see a
// box (a window station that is not visible, as for services, or no USER32).
// The line is read by the run's own parse, here on a scratch buffer, so the
// answer is the run's own.
bool ShowsNoBox(const char16_t* commandLine) {
  char16_t scratch[CommandLineCapacity];
  RegistrationRequest request;
  ParseCommandLine(WindowsPlatformServices(), commandLine, scratch, request);
  return request.silent || !MessageBoxesCanBeSeen();
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
  const bool boxless = ShowsNoBox(commandLine);
  if (boxless) {
    // Added to the mode the process was started with, which it keeps.
    SetErrorMode(SetErrorMode(NoSystemErrorBoxes) | NoSystemErrorBoxes);
  }
  // Of the four entry values the run uses only the command line, so the show
  // state is passed as the default rather than read from the startup record.
  // RunProgram ends the process through EndProcess, ExitProcess here.
  RunProgram(WindowsPlatformServices(), &__ImageBase, nullptr, commandLine, SW_SHOWDEFAULT);
}

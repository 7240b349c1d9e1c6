// Starts a program with an exact command line and prints its full 32-bit exit
// status, which a shell under Wine would cut to the low 8 bits.
//
// The command line comes from COMENROL_RUN_COMMAND_LINE and the program from
// COMENROL_RUN_APPLICATION, so that no quoting on the way in changes them.
// COMENROL_RUN_TIMEOUT_MS (default 30000) bounds the wait; a program still
// running then is ended and the runner exits with 3.
// COMENROL_RUN_WINDOW_STATION, when set, names a window station that the
// runner makes (with a desktop "Default") and starts the program on; a new
// window station is not visible, so no person could answer a box there.
// COMENROL_RUN_DIRECTORY, when set, is the program's current directory, and
// COMENROL_RUN_ERROR_MODE (hexadecimal) the error mode it inherits.
// Prints "exit 0xXXXXXXXX" and exits with 0 when the program ran.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

bool ReadVariable(const wchar_t* name, wchar_t* value, DWORD capacity) {
  const DWORD length = GetEnvironmentVariableW(name, value, capacity);
  return length != 0 && length < capacity;
}

// Makes the window station and its desktop, and returns the startup desktop
// name "STATION\Default", or false when either cannot be made.
bool MakeWindowStation(const wchar_t* name, wchar_t* desktop, size_t capacity) {
  const HWINSTA original = GetProcessWindowStation();
  const HWINSTA station = CreateWindowStationW(name, 0, WINSTA_ALL_ACCESS, nullptr);
  if (station == nullptr || !SetProcessWindowStation(station)) {
    return false;
  }
  const HDESK made = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(original);
  return made != nullptr && swprintf(desktop, capacity, L"%ls\\Default", name) > 0;
}

}  // namespace

int main() {
  static wchar_t application[4096];
  static wchar_t commandLine[32768];
  wchar_t timeoutText[32];
  if (!ReadVariable(L"COMENROL_RUN_APPLICATION", application, 4096)) {
    std::fprintf(stderr, "runner: COMENROL_RUN_APPLICATION is not set\n");
    return 2;
  }
  // An empty command line is a case of its own, so an unset variable reads as
  // empty.
  if (!ReadVariable(L"COMENROL_RUN_COMMAND_LINE", commandLine, 32768)) {
    commandLine[0] = 0;
  }
  DWORD timeout = 30000;
  if (ReadVariable(L"COMENROL_RUN_TIMEOUT_MS", timeoutText, 32)) {
    timeout = static_cast<DWORD>(std::wcstoul(timeoutText, nullptr, 10));
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  wchar_t station[256];
  static wchar_t desktop[512];
  if (ReadVariable(L"COMENROL_RUN_WINDOW_STATION", station, 256)) {
    if (!MakeWindowStation(station, desktop, 512)) {
      std::fprintf(stderr, "runner: no window station (%lu)\n", GetLastError());
      return 2;
    }
    startup.lpDesktop = desktop;
  }
  wchar_t modeText[32];
  if (ReadVariable(L"COMENROL_RUN_ERROR_MODE", modeText, 32)) {
    SetErrorMode(static_cast<UINT>(std::wcstoul(modeText, nullptr, 16)));
  }
  static wchar_t directory[4096];
  const bool inDirectory = ReadVariable(L"COMENROL_RUN_DIRECTORY", directory, 4096);
  PROCESS_INFORMATION process = {};
  // Wine now and then fails a process start with an internal error; the
  // program never ran then, so the start is tried again.
  static wchar_t attemptLine[32768];
  for (int attempt = 1;; ++attempt) {
    wcscpy(attemptLine, commandLine);
    if (CreateProcessW(application, attemptLine, nullptr, nullptr, FALSE, 0, nullptr,
                       inDirectory ? directory : nullptr, &startup, &process)) {
      break;
    }
    std::fprintf(stderr, "runner: CreateProcessW failed with %lu (attempt %d)\n", GetLastError(),
                 attempt);
    if (attempt == 3) {
      return 2;
    }
    Sleep(200);
  }
  CloseHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, timeout) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 0xDEAD);
    std::printf("timeout\n");
    return 3;
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  std::printf("exit 0x%08lX\n", status);
  return 0;
}

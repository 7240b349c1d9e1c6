// Stands in for another architecture's build of comenrol.exe where that build
// cannot run: writes the command line it was given, as UTF-16, to the file
// named by COMENROL_STAND_IN_RECORD and ends with the status in
// COMENROL_STAND_IN_STATUS (hexadecimal, all 32 bits).
#include <windows.h>

#include <cwchar>

int main() {
  wchar_t record[1024];
  wchar_t status[16];
  if (GetEnvironmentVariableW(L"COMENROL_STAND_IN_RECORD", record, 1024) - 1 >= 1023 ||
      GetEnvironmentVariableW(L"COMENROL_STAND_IN_STATUS", status, 16) - 1 >= 15) {
    return 2;
  }
  const HANDLE file = CreateFileW(record, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const wchar_t* line = GetCommandLineW();
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::wcslen(line) * sizeof *line), &written, nullptr);
  CloseHandle(file);
  ExitProcess(static_cast<UINT>(std::wcstoul(status, nullptr, 16)));
}

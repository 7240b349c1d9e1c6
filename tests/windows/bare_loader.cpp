// The least a registration can cost: loads the module named on the command
// line, calls its DllRegisterServer and exits with the status. KERNEL32 only,
// no C runtime, GUI subsystem, like comenrol.exe: the benchmark's baseline.
// The name must be unquoted and hold no white space.
#include <windows.h>

extern "C" void BareEntry() {
  const wchar_t* line = GetCommandLineW();
  const wchar_t end = *line == L'"' ? L'"' : L' ';
  for (line += *line == L'"'; *line != 0 && *line != end; ++line) {
  }
  while (*line == L'"' || *line == L' ') {
    ++line;
  }
  const HMODULE module = LoadLibraryW(line);
  const FARPROC entry = module != nullptr ? GetProcAddress(module, "DllRegisterServer") : nullptr;
  ExitProcess(entry != nullptr ? static_cast<UINT>(entry()) : 0xFFFFFFFEu);
}

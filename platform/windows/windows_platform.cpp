#include "platform/windows/windows_platform.h"

#include <windows.h>

#include "platform/portable_text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// LoadLibraryExW without flags is LoadLibraryW: the usual search order.
ModuleHandle LoadModule(const char16_t* path) { return LoadLibraryExW(Wide(path), nullptr, 0); }

// Export names are ASCII; longer ones than any the tool asks for are refused.
constexpr int ExportNameCapacity = 64;

SelfRegistrationEntry FindEntry(ModuleHandle module, const char16_t* name) {
  char narrow[ExportNameCapacity];
  int length = 0;
  for (; name[length] != 0; ++length) {
    if (name[length] >= 0x80 || length + 1 == ExportNameCapacity) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    narrow[length] = static_cast<char>(name[length]);
  }
  narrow[length] = 0;
  const FARPROC address = GetProcAddress(static_cast<HMODULE>(module), narrow);
  // Through void (*)(), which converts to any function pointer type silently.
  return reinterpret_cast<SelfRegistrationEntry>(reinterpret_cast<void (*)()>(address));
}

uint32_t LastErrorCode() { return GetLastError(); }

// The system's USER32.dll from the system directory alone, so that no file of
// that name beside the tool, the module or on the search path is ever loaded.
// Null when it does not load, as on a system whose loader does not know the
// flag (before Windows 8, without its 2011 loader update).
HMODULE LoadSystemUser32() {
  return LoadLibraryExW(L"USER32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Function>
Function FindUser32Function(HMODULE user32, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// USER32 when a box shown by this process could be seen and dismissed by a
// person: it loads from the system directory and the process's window station
// is visible (WSF_VISIBLE). Null otherwise, and whenever that cannot be told.
HMODULE User32ForBoxes() {
  const HMODULE user32 = LoadSystemUser32();
  if (user32 == nullptr) {
    return nullptr;
  }
  using GetStationFunction = HWINSTA(WINAPI*)();
  using GetInformationFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
  const auto getStation = FindUser32Function<GetStationFunction>(user32, "GetProcessWindowStation");
  const auto getInformation =
      FindUser32Function<GetInformationFunction>(user32, "GetUserObjectInformationW");
  if (getStation == nullptr || getInformation == nullptr) {
    return nullptr;
  }
  const HWINSTA station = getStation();
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (station == nullptr || !getInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
      (flags.dwFlags & WSF_VISIBLE) == 0) {
    return nullptr;
  }
  return user32;
}

bool BoxesCanBeSeen() { return User32ForBoxes() != nullptr; }

// The system's own error boxes (a missing removable disk, a file that will
// not open, a fault) are turned off for a run that shows no box of its own:
// nobody would be there to answer them. They are added to the mode the
// process was started with, which a run with boxes keeps as it is.
void PrepareRun(bool showsBoxes) {
  constexpr UINT noSystemErrorBoxes =
      SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX;
  if (!showsBoxes) {
    SetErrorMode(SetErrorMode(noSystemErrorBoxes) | noSystemErrorBoxes);
  }
}

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);

// Only a run that BoxesCanBeSeen allowed shows a box, so USER32 is already in
// the process here.
int ShowMessageBox(void* owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  const HMODULE user32 = LoadSystemUser32();
  if (user32 == nullptr) {
    return 0;
  }
  const auto messageBox = FindUser32Function<MessageBoxFunction>(user32, "MessageBoxW");
  if (messageBox == nullptr) {
    return 0;
  }
  return messageBox(static_cast<HWND>(owner), Wide(text), Wide(caption), style);
}

void EndProcess(int32_t status) { ExitProcess(static_cast<UINT>(status)); }

const PlatformServices services = {
    LoadModule,         FindEntry,         LastErrorCode,
    PortableFormatText, ShowMessageBox,    PortableFindSubstring,
    PortableFindUnit,   PortableFillBytes, EndProcess,
    BoxesCanBeSeen,     PrepareRun,
};

}  // namespace

const PlatformServices& WindowsPlatformServices() { return services; }

const char16_t* SkipProgramName(const char16_t* commandLine) {
  // The name ends at the first white space outside double quotes; quotes may
  // stand anywhere in it, as in C:\"Program Files"\x.exe.
  const char16_t* text = commandLine;
  bool quoted = false;
  while (*text > u' ' || (*text != 0 && quoted)) {
    if (*text == u'"') {
      quoted = !quoted;
    }
    ++text;
  }
  while (*text != 0 && *text <= u' ') {
    ++text;
  }
  return text;
}

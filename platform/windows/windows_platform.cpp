#include "platform/windows/windows_platform.h"

#include <windows.h>

#include "platform/portable_text.h"
#include "registration/command_line.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

template <typename Function>
Function FindFunction(HMODULE module, const char* name) {
  // Through void (*)(), which converts to any function pointer type silently.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A module that brought ole32.dll into the process (the tool itself never
// loads it) uses COM, and servers are written for callers that have
// initialised it before calling their entry: many create objects while they
// register. Their thread becomes a single-threaded apartment, which the
// process ends in. A module without COM finds it as the system left it, and
// its run pays one lookup.
void InitialiseComIfUsed() {
  const HMODULE ole32 = GetModuleHandleW(L"ole32");
  if (ole32 == nullptr) {
    return;
  }
  using InitialiseFunction = HRESULT(WINAPI*)(void*, DWORD);
  const auto initialise = FindFunction<InitialiseFunction>(ole32, "CoInitializeEx");
  if (initialise != nullptr) {
    initialise(nullptr, COINIT_APARTMENTTHREADED);
  }
}

// Units in the binding's own buffers, which are on the stack (the image has
// no writable data) and keep every frame under a page (it has no stack
// probe). A module's full path longer than FullPathCapacity is loaded as it
// was given; a program path or a sibling's command line that does not fit
// means no hand-over.
constexpr DWORD FullPathCapacity = CommandLineCapacity;
constexpr DWORD ProgramPathCapacity = MAX_PATH + 16;
constexpr DWORD SiblingLineCapacity = CommandLineCapacity + 32;

// The desktop builds, each in a folder named for its architecture beside the
// others, and the image machine that each loads.
struct SiblingBuild {
  WORD machine;
  wchar_t folder[6];
};
constexpr SiblingBuild SiblingBuilds[] = {
    {IMAGE_FILE_MACHINE_AMD64, L"x64"},
    {IMAGE_FILE_MACHINE_I386, L"x86"},
    {IMAGE_FILE_MACHINE_ARM64, L"arm64"},
};

// Copies text to the position, never at or past the end; returns where the
// copy ended, which is the end itself when the text did not fit.
__attribute__((noinline)) wchar_t* Append(wchar_t* position, const wchar_t* end,
                                          const wchar_t* text) {
  while (*text != 0 && position < end) {
    *position++ = *text++;
  }
  return position;
}

// The machine in a module file's PE header, or 0 when the file is short, not
// a PE image or cannot be read. Read-only, and shared with anyone else.
WORD ImageMachineOfFile(const wchar_t* path) {
  const HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  IMAGE_DOS_HEADER dos;
  struct {
    DWORD signature;
    WORD machine;
  } header = {};
  DWORD read = 0;
  if (ReadFile(file, &dos, sizeof dos, &read, nullptr) && read == sizeof dos &&
      dos.e_magic == IMAGE_DOS_SIGNATURE &&
      SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    ReadFile(file, &header, 6, &read, nullptr);
  }
  CloseHandle(file);
  return header.signature == IMAGE_NT_SIGNATURE ? header.machine : 0;
}

// This program's own machine, from its own image header in memory.
WORD OwnMachine() {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)->FileHeader.Machine;
}

// Writes the sibling's arguments at the position: this run's argument text.
// A 32-bit process reaches the 64-bit system folder as %windir%\Sysnative,
// which a 64-bit process does not have; there the same file is in System32,
// so a module named through Sysnative is given by its System32 path, with
// this run's options.
wchar_t* SiblingArguments(const wchar_t* module, const char16_t* arguments, wchar_t* position,
                          const wchar_t* end) {
  // The folder's path is written where the arguments go, quoted: completed
  // when the module lies in it, written over otherwise.
  wchar_t* const windows = position + 1;
  const UINT windowsLength = GetWindowsDirectoryW(windows, MAX_PATH);
  wchar_t* const system = windows + windowsLength + 1;
  const int prefixLength =
      static_cast<int>(Append(windows + windowsLength, end, L"\\Sysnative\\") - windows);
  int moduleLength = 0;
  while (module[moduleLength] != 0) {
    ++moduleLength;
  }
  if (windowsLength == 0 || windowsLength >= MAX_PATH || moduleLength <= prefixLength ||
      CompareStringOrdinal(module, prefixLength, windows, prefixLength, TRUE) != CSTR_EQUAL) {
    return Append(position, end, reinterpret_cast<const wchar_t*>(arguments));
  }
  *position = L'"';
  position = Append(Append(system, end, L"System32\\"), end, module + prefixLength);
  position = Append(position, end, L"\"");
  if (ContainsAnyForm(WindowsPlatformServices(), arguments, UnregisterForms)) {
    position = Append(position, end, L" -u");
  }
  if (ContainsAnyForm(WindowsPlatformServices(), arguments, SilentForms)) {
    position = Append(position, end, L" -s");
  }
  return position;
}

// A module of another desktop architecture runs in that architecture's build,
// found only at <this program's folder>\..\<arch>\comenrol.exe: never on a
// search path, never in the current directory. It gets this run's argument
// text, and this process ends with its status, all 32 bits, showing nothing
// itself. Returns only when there is no such build or it does not start. A
// build never hands over a module of its own machine, so a run can never go
// back and forth between two builds.
__attribute__((noinline)) void RunInSiblingBuild(const wchar_t* module) {
  const WORD machine = ImageMachineOfFile(module);
  const SiblingBuild* build = nullptr;
  for (const SiblingBuild& candidate : SiblingBuilds) {
    if (candidate.machine == machine && machine != OwnMachine()) {
      build = &candidate;
    }
  }
  wchar_t sibling[ProgramPathCapacity];
  const wchar_t* const siblingEnd = sibling + ProgramPathCapacity - 1;
  // A path cut short by the buffer names no folder at all.
  const DWORD length = GetModuleFileNameW(nullptr, sibling, MAX_PATH);
  wchar_t* folderEnd = sibling + (length < MAX_PATH ? length : 0);
  while (folderEnd > sibling && folderEnd[-1] != L'\\') {
    --folderEnd;
  }
  if (build == nullptr || folderEnd == sibling) {
    return;
  }
  *Append(Append(Append(folderEnd, siblingEnd, L"..\\"), siblingEnd, build->folder), siblingEnd,
          L"\\comenrol.exe") = 0;

  // The sibling skips its program name, whatever it is.
  wchar_t line[SiblingLineCapacity];
  const wchar_t* const lineEnd = line + SiblingLineCapacity - 1;
  wchar_t* const lineFilled = SiblingArguments(
      module, SkipProgramName(reinterpret_cast<const char16_t*>(GetCommandLineW())),
      Append(line, lineEnd, L"comenrol.exe "), lineEnd);
  *lineFilled = 0;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  DWORD status = 0;
  if (lineFilled != lineEnd &&
      CreateProcessW(sibling, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process) &&
      WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.hProcess, &status)) {
    ExitProcess(status);
  }
}

// A name with a "\", a "/" or a drive colon is a path: it is made full and
// loaded with LOAD_WITH_ALTERED_SEARCH_PATH, so that the DLLs the module
// needs are found in its own folder before anywhere else, the current
// directory included. A bare file name keeps the usual search order.
ModuleHandle LoadModule(const char16_t* name) {
  const wchar_t* path = Wide(name);
  DWORD flags = 0;
  wchar_t full[FullPathCapacity];
  if ((name[0] != 0 && name[1] == u':') || PortableFindUnit(name, u'\\') != nullptr ||
      PortableFindUnit(name, u'/') != nullptr) {
    const DWORD length = GetFullPathNameW(path, FullPathCapacity, full, nullptr);
    if (length != 0 && length < FullPathCapacity) {
      path = full;
      flags = LOAD_WITH_ALTERED_SEARCH_PATH;
    }
  }
  const HMODULE module = LoadLibraryExW(path, nullptr, flags);
  if (module == nullptr) {
    // The error reported is the load's, whatever the hand-over tried.
    const DWORD error = GetLastError();
    if (error == ERROR_BAD_EXE_FORMAT) {
      RunInSiblingBuild(path);
    }
    SetLastError(error);
    return nullptr;
  }
  InitialiseComIfUsed();
  return module;
}

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
  return FindFunction<SelfRegistrationEntry>(static_cast<HMODULE>(module), narrow);
}

uint32_t LastErrorCode() { return GetLastError(); }

// The system's USER32.dll from the system directory alone, so that no file of
// that name beside the tool, the module or on the search path is ever loaded.
// Null when it does not load, as on a system whose loader does not know the
// flag (before Windows 8, without its 2011 loader update).
HMODULE LoadSystemUser32() {
  return LoadLibraryExW(L"USER32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
  const auto getStation = FindFunction<GetStationFunction>(user32, "GetProcessWindowStation");
  const auto getInformation =
      FindFunction<GetInformationFunction>(user32, "GetUserObjectInformationW");
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

// Only a run that BoxesCanBeSeen allowed shows a box, so the system's USER32
// is already in the process here, and is the one found by its name.
int ShowMessageBox(void* owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  const HMODULE user32 = GetModuleHandleW(L"USER32.dll");
  if (user32 == nullptr) {
    return 0;
  }
  const auto messageBox = FindFunction<MessageBoxFunction>(user32, "MessageBoxW");
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

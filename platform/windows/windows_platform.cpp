#include "platform/windows/windows_platform.h"

#include <windows.h>

#include "platform/portable_text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

ModuleHandle LoadModule(const char16_t* path) { return LoadLibraryW(Wide(path)); }

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

int FormatText(char16_t* destination, const char16_t* format, int32_t value) {
  return wsprintfW(reinterpret_cast<wchar_t*>(destination), Wide(format), value);
}

int ShowMessageBox(void* owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  return MessageBoxW(static_cast<HWND>(owner), Wide(text), Wide(caption), style);
}

void EndProcess(int32_t status) { ExitProcess(static_cast<UINT>(status)); }

const PlatformServices services = {
    LoadModule,       FindEntry,         LastErrorCode,
    FormatText,       ShowMessageBox,    PortableFindSubstring,
    PortableFindUnit, PortableFillBytes, EndProcess,
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

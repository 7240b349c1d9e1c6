// A self-registration module whose entries do exactly one thing, chosen when
// it is built: return TEST_MODULE_STATUS, fault with an access violation
// (TEST_MODULE_FAULT), raise TEST_MODULE_EXCEPTION, overflow the stack
// (TEST_MODULE_OVERFLOW) or report what the process looks like from inside
// the entry (TEST_MODULE_PROBE; with TEST_MODULE_IMPORTS_OLE32 the module
// imports ole32.dll). TEST_MODULE_REGISTER_ONLY leaves out DllUnregisterServer;
// TEST_MODULE_INIT_FAILS makes the module refuse to load, and
// TEST_MODULE_ENDS_PROCESS_ON_LOAD end the process with that status. A helper
// (TEST_MODULE_HELPER) also exports HelperStatus, returning the status; a
// module built with TEST_MODULE_NEEDS_HELPER imports it and returns it.
#include <windows.h>

#if defined(TEST_MODULE_HELPER)
extern "C" __declspec(dllexport) LONG HelperStatus() {
  return static_cast<LONG>(TEST_MODULE_STATUS);
}
#elif defined(TEST_MODULE_NEEDS_HELPER)
extern "C" __declspec(dllimport) LONG HelperStatus();
#endif

namespace {

#if defined(TEST_MODULE_OVERFLOW)
// 4 KiB frames, each written, until the stack runs out long before the
// depth could reach the limit.
volatile LONG depthLimit = 0x7FFFFFFF;

__attribute__((noinline)) LONG Recurse(LONG depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return depth == depthLimit ? 0 : Recurse(depth + 1) + frame[0];
}
#endif

LONG Entry() {
#if defined(TEST_MODULE_FAULT)
  // A write through a null pointer that the compiler cannot drop.
  *static_cast<volatile LONG*>(nullptr) = 1;
  return 0;
#elif defined(TEST_MODULE_EXCEPTION)
  RaiseException(TEST_MODULE_EXCEPTION, 0, 0, nullptr);
  return 0;
#elif defined(TEST_MODULE_OVERFLOW)
  return Recurse(0);
#elif defined(TEST_MODULE_PROBE)
  // Raised as an exception code, which the tool's status then carries:
  // 0xE0000000, bit 16 when USER32 is in the process, bits 17-19 what COM
  // answers, bits 20-22 the run level and UI access the process runs with,
  // bit 23 when the system says it is 10.0, and the error mode.
  DWORD seen = 0xE0000000 | (GetModuleHandleW(L"user32.dll") != nullptr ? 0x10000u : 0u);
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
  if (QueryActCtxW(0, nullptr, nullptr, RunlevelInformationInActivationContext, &level,
                   sizeof level, nullptr)) {
    seen |= (level.RunLevel & 3) << 20 | (level.UiAccess != 0 ? 0x400000u : 0u);
  }
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExW(&version) && version.dwMajorVersion == 10 && version.dwMinorVersion == 0) {
    seen |= 0x800000;
  }
#if defined(TEST_MODULE_IMPORTS_OLE32)
  // Imported: ole32.dll came into the process with the module.
  const auto initialise = CoInitializeEx;
#else
  // Loaded only now, after the tool has seen what the module brought.
  const auto initialise = reinterpret_cast<decltype(&CoInitializeEx)>(
      reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryW(L"ole32.dll"), "CoInitializeEx")));
#endif
  // S_OK: the thread had no COM; S_FALSE: it was an apartment already. Then a
  // multithreaded initialisation must be refused with RPC_E_CHANGED_MODE.
  const HRESULT apartment = initialise(nullptr, COINIT_APARTMENTTHREADED);
  seen |= apartment == S_OK ? 0x20000u : apartment == S_FALSE ? 0x40000u : 0u;
  seen |= initialise(nullptr, COINIT_MULTITHREADED) == RPC_E_CHANGED_MODE ? 0x80000u : 0u;
  RaiseException(seen | GetErrorMode(), 0, 0, nullptr);
  return 0;
#elif defined(TEST_MODULE_NEEDS_HELPER)
  return HelperStatus();
#else
  return static_cast<LONG>(TEST_MODULE_STATUS);
#endif
}

}  // namespace

#if defined(TEST_MODULE_INIT_FAILS)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  return reason != DLL_PROCESS_ATTACH;
}
#elif defined(TEST_MODULE_ENDS_PROCESS_ON_LOAD)
// Planted under a system DLL's name: ends the process the moment it is loaded.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ExitProcess(TEST_MODULE_ENDS_PROCESS_ON_LOAD);
  }
  return TRUE;
}
#endif

extern "C" __declspec(dllexport) LONG DllRegisterServer() { return Entry(); }

#if !defined(TEST_MODULE_REGISTER_ONLY)
extern "C" __declspec(dllexport) LONG DllUnregisterServer() { return Entry(); }
#endif

// A self-registration module whose entries do exactly one thing, chosen when
// it is built: return TEST_MODULE_STATUS, fault with an access violation
// (TEST_MODULE_FAULT), raise TEST_MODULE_EXCEPTION, overflow the stack
// (TEST_MODULE_OVERFLOW) or report what the process looks like from inside
// the entry (TEST_MODULE_PROBE). TEST_MODULE_REGISTER_ONLY leaves out
// DllUnregisterServer; TEST_MODULE_INIT_FAILS makes the module refuse to load.
#include <windows.h>

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
  // 0xE0000000, bit 16 when USER32 is in the process, and the error mode.
  const DWORD user32 = GetModuleHandleW(L"user32.dll") != nullptr ? 0x10000 : 0;
  RaiseException(0xE0000000 | user32 | GetErrorMode(), 0, 0, nullptr);
  return 0;
#else
  return static_cast<LONG>(TEST_MODULE_STATUS);
#endif
}

}  // namespace

#if defined(TEST_MODULE_INIT_FAILS)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  return reason != DLL_PROCESS_ATTACH;
}
#endif

extern "C" __declspec(dllexport) LONG DllRegisterServer() { return Entry(); }

#if !defined(TEST_MODULE_REGISTER_ONLY)
extern "C" __declspec(dllexport) LONG DllUnregisterServer() { return Entry(); }
#endif

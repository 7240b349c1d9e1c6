// A self-registration module whose entries do exactly one thing, chosen when
// it is built: return TEST_MODULE_STATUS, fault with an access violation
// (TEST_MODULE_FAULT), or raise TEST_MODULE_EXCEPTION. TEST_MODULE_REGISTER_ONLY
// leaves out DllUnregisterServer.
#include <windows.h>

namespace {

LONG Entry() {
#if defined(TEST_MODULE_FAULT)
  // A write through a null pointer that the compiler cannot drop.
  *static_cast<volatile LONG*>(nullptr) = 1;
  return 0;
#elif defined(TEST_MODULE_EXCEPTION)
  RaiseException(TEST_MODULE_EXCEPTION, 0, 0, nullptr);
  return 0;
#else
  return static_cast<LONG>(TEST_MODULE_STATUS);
#endif
}

}  // namespace

extern "C" __declspec(dllexport) LONG DllRegisterServer() { return Entry(); }

#if !defined(TEST_MODULE_REGISTER_ONLY)
extern "C" __declspec(dllexport) LONG DllUnregisterServer() { return Entry(); }
#endif

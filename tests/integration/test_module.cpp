// Test modules for the integration tests, one per build of this file:
//   ENTRY_STATUS     what both entries return
//   REGISTER_ONLY    export DllRegisterServer alone
//   ENTRY_CRASHES    the entry writes through a null pointer
//   KEEPS_TRACE_OPEN the trace file stays open after the entry returns
// Each call of an entry appends its name to the file named by
// COMENROL_TEST_TRACE, so a test can see which entry ran and how often.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Trace(const char* entry) {
  const char* path = std::getenv("COMENROL_TEST_TRACE");
  if (path == nullptr) {
    return;
  }
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", entry);
#ifdef KEEPS_TRACE_OPEN
    std::fflush(file);
#else
    std::fclose(file);
#endif
  }
}

int32_t Entry(const char* name) {
  Trace(name);
#ifdef ENTRY_CRASHES
  *static_cast<volatile int*>(nullptr) = 1;
#endif
  return static_cast<int32_t>(ENTRY_STATUS);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
  return Entry("DllRegisterServer");
}

#ifndef REGISTER_ONLY
extern "C" __attribute__((visibility("default"))) int32_t DllUnregisterServer() {
  return Entry("DllUnregisterServer");
}
#endif

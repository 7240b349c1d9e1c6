// Activates the sample COM class and calls its method, printing what
// happened, one line each:
//   InprocServer32 <path> | none       the registered server path ("\" as "\\")
//   ThreadingModel <value> | none
//   CoCreateInstance 0xXXXXXXXX
//   Add 0xXXXXXXXX <sum>               only after a successful activation
#include <windows.h>

#include <cstdio>

#include "samples/windows/sample_server.h"
#include "tests/windows/print_line.h"

namespace {

void PrintServerValue(const char* label, const wchar_t* name) {
  wchar_t key[256];
  wsprintfW(key, L"%s\\InprocServer32", ComenrolSampleClassKey);
  wchar_t value[1024];
  DWORD bytes = sizeof value;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key, name, RRF_RT_REG_SZ, nullptr, value, &bytes) ==
      ERROR_SUCCESS) {
    PrintLine(label, value);
  } else {
    std::printf("%snone\n", label);
  }
}

}  // namespace

int main() {
  PrintServerValue("InprocServer32 ", nullptr);
  PrintServerValue("ThreadingModel ", L"ThreadingModel");

  const HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(initialised)) {
    std::printf("CoInitializeEx 0x%08lX\n", static_cast<unsigned long>(initialised));
    return 1;
  }
  ISampleAdder* adder = nullptr;
  const HRESULT created = CoCreateInstance(CLSID_ComenrolSample, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ISampleAdder, reinterpret_cast<void**>(&adder));
  std::printf("CoCreateInstance 0x%08lX\n", static_cast<unsigned long>(created));
  if (SUCCEEDED(created)) {
    LONG sum = 0;
    const HRESULT added = adder->Add(19, 23, &sum);
    std::printf("Add 0x%08lX %ld\n", static_cast<unsigned long>(added), sum);
    adder->Release();
  }
  std::fflush(stdout);
  CoUninitialize();
  return 0;
}

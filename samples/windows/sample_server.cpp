// A real in-process COM server with one class, for registering with comenrol:
// DllRegisterServer writes HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 (the
// module's full path, ThreadingModel "Apartment"), DllUnregisterServer removes
// the class key again.
#include "samples/windows/sample_server.h"

#include <new>

namespace {

HMODULE serverModule = nullptr;
LONG liveObjects = 0;
LONG serverLocks = 0;

class SampleAdder final : public ISampleAdder {
 public:
  SampleAdder() { InterlockedIncrement(&liveObjects); }
  ~SampleAdder() { InterlockedDecrement(&liveObjects); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISampleAdder)) {
      *object = static_cast<ISampleAdder*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) {
      this->~SampleAdder();
      HeapFree(GetProcessHeap(), 0, this);
    }
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE Add(LONG left, LONG right, LONG* sum) override {
    if (sum == nullptr) {
      return E_POINTER;
    }
    *sum = left + right;
    return S_OK;
  }

 private:
  LONG references_ = 1;
};

class SampleFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is a static object that lives as long as the module.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(SampleAdder));
    if (memory == nullptr) {
      return E_OUTOFMEMORY;
    }
    SampleAdder* adder = new (memory) SampleAdder();
    const HRESULT result = adder->QueryInterface(iid, object);
    adder->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&serverLocks);
    } else {
      InterlockedDecrement(&serverLocks);
    }
    return S_OK;
  }
};

SampleFactory factory;

HRESULT FromStatus(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

HRESULT SetText(HKEY key, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>(lstrlenW(value) + 1) * DWORD{sizeof(wchar_t)};
  return FromStatus(
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    serverModule = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_ComenrolSample)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return factory.QueryInterface(iid, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(serverModule, path, MAX_PATH * 4);
  if (length == 0) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  if (length >= MAX_PATH * 4) {
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }

  HKEY classKey = nullptr;
  HRESULT result = FromStatus(RegCreateKeyExW(HKEY_CLASSES_ROOT, ComenrolSampleClassKey, 0, nullptr,
                                              0, KEY_WRITE, nullptr, &classKey, nullptr));
  if (FAILED(result)) {
    return result;
  }
  result = SetText(classKey, nullptr, L"comenrol sample adder");
  HKEY serverKey = nullptr;
  if (SUCCEEDED(result)) {
    result = FromStatus(RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE,
                                        nullptr, &serverKey, nullptr));
  }
  if (SUCCEEDED(result)) {
    result = SetText(serverKey, nullptr, path);
    if (SUCCEEDED(result)) {
      result = SetText(serverKey, L"ThreadingModel", L"Apartment");
    }
    RegCloseKey(serverKey);
  }
  RegCloseKey(classKey);
  if (FAILED(result)) {
    // Leave nothing half written behind.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ComenrolSampleClassKey);
  }
  return result;
}

// S_FALSE when the class was not registered: there was nothing to remove.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, ComenrolSampleClassKey);
  if (status == ERROR_FILE_NOT_FOUND) {
    return S_FALSE;
  }
  return FromStatus(status);
}

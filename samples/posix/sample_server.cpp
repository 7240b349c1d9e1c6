// A small in-process server module for the host: registering it writes a
// registration record, unregistering removes it.
//
// The record is the file "<dir>/{5C3E27A1-7F4B-4D2E-9A61-0B8C42D5E3F7}.reg",
// where <dir> is the directory named by COMENROL_SAMPLE_REGISTRY. It holds the
// class's in-process server path (this module's own file) and threading model.
// Statuses follow the COM convention: 0 for success, 0x80004005 when the
// record cannot be written or removed (or no directory is named).
#include <dlfcn.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int32_t Succeeded = 0;
constexpr int32_t GeneralFailure = static_cast<int32_t>(0x80004005u);

constexpr const char* ClassId = "{5C3E27A1-7F4B-4D2E-9A61-0B8C42D5E3F7}";

bool RecordPath(std::string& path) {
  const char* directory = std::getenv("COMENROL_SAMPLE_REGISTRY");
  if (directory == nullptr || *directory == 0) {
    return false;
  }
  path = std::string(directory) + "/" + ClassId + ".reg";
  return true;
}

std::string ModuleFileName() {
  Dl_info info = {};
  static const int anchor = 0;
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return info.dli_fname;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
  std::string path;
  if (!RecordPath(path)) {
    return GeneralFailure;
  }
  const std::string record = std::string("[CLSID\\") + ClassId + "\\InprocServer32]\n" +
                             "@=" + ModuleFileName() + "\nThreadingModel=Apartment\n";
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return GeneralFailure;
  }
  const bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::remove(path.c_str());
    return GeneralFailure;
  }
  return Succeeded;
}

extern "C" __attribute__((visibility("default"))) int32_t DllUnregisterServer() {
  std::string path;
  if (!RecordPath(path)) {
    return GeneralFailure;
  }
  // Removing a record that is already gone leaves the class unregistered, as
  // asked, so it counts as success.
  if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
    return GeneralFailure;
  }
  return Succeeded;
}

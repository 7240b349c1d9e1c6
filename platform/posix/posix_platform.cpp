#include "platform/posix/posix_platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/portable_text.h"
#include "platform/posix/utf16_host_text.h"

namespace {

// The reason for the last failed load or lookup, kept here because errno may
// be overwritten by anything called after the failure.
uint32_t lastError = 0;

std::u16string_view View(const char16_t* text) { return std::u16string_view(text); }

// Why a load failed, as an errno number. The loader does not leave a
// dependable errno behind, so a path is opened again to see what stands there.
// A bare name was searched for on the library path, and failing that search
// reads as "no such file".
uint32_t LoadFailureReason(const std::string& path) {
  if (path.find('/') == std::string::npos) {
    return ENOENT;
  }
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return static_cast<uint32_t>(errno);
  }
  struct stat status = {};
  const bool isDirectory = fstat(file, &status) == 0 && S_ISDIR(status.st_mode);
  close(file);
  return isDirectory ? EISDIR : ENOEXEC;
}

ModuleHandle LoadModule(const char16_t* path) {
  std::u16string hostPath(View(path));
  for (char16_t& unit : hostPath) {
    if (unit == u'\\') {
      unit = u'/';
    }
  }
  // dlopen of an empty name would return the program itself.
  if (hostPath.empty()) {
    lastError = ENOENT;
    return nullptr;
  }
  const std::string bytes = EncodeHostText(hostPath);
  void* module = dlopen(bytes.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    lastError = LoadFailureReason(bytes);
  }
  return module;
}

SelfRegistrationEntry FindEntry(ModuleHandle module, const char16_t* name) {
  std::string narrow;
  for (const char16_t* unit = name; *unit != 0; ++unit) {
    if (*unit >= 0x80) {
      lastError = ENOSYS;  // export names are ASCII
      return nullptr;
    }
    narrow += static_cast<char>(*unit);
  }
  void* address = dlsym(module, narrow.c_str());
  if (address == nullptr) {
    lastError = ENOSYS;
    return nullptr;
  }
  return reinterpret_cast<SelfRegistrationEntry>(address);
}

uint32_t LastErrorCode() { return lastError; }

int ShowMessageBox(void* /*owner*/, const char16_t* text, const char16_t* caption, uint32_t style) {
  std::string box = EncodeHostText(View(caption));
  if (style == 0x10) {
    box += " [error]\n";
  } else if (style == 0x40) {
    box += " [information]\n";
  } else {
    char kind[32];
    std::snprintf(kind, sizeof kind, " [style 0x%X]\n", style);
    box += kind;
  }
  box += EncodeHostText(View(text));
  box += '\n';

  // A closed standard error must not end the process by SIGPIPE before it
  // can exit with its status.
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  size_t written = 0;
  while (written < box.size()) {
    const ssize_t count = write(STDERR_FILENO, box.data() + written, box.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    written += static_cast<size_t>(count);
  }
  sigaction(SIGPIPE, &previous, nullptr);
  return 1;  // the one button, OK
}

[[noreturn]] void EndProcess(int32_t status) { std::exit(status); }

const PlatformServices services = {
    LoadModule,         FindEntry,         LastErrorCode,
    PortableFormatText, ShowMessageBox,    PortableFindSubstring,
    PortableFindUnit,   PortableFillBytes, EndProcess,
};

}  // namespace

const PlatformServices& PosixPlatformServices() { return services; }

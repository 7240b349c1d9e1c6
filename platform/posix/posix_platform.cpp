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
#include "registration/messages.h"

namespace {

// The reason for the last failed load or lookup, kept here because errno may
// be overwritten by anything called after the failure.
uint32_t lastError = 0;

// False when standard error was closed at start and could not be opened on
// /dev/null: descriptor 2 may then be a file the module opened, and a box is
// not written at all.
bool standardErrorIsOurs = true;

std::u16string_view View(const char16_t* text) { return std::u16string_view(text); }

// Why the named path cannot be a module, as an errno number, or 0 when it is
// a regular file that can be opened for reading. Nothing here can wait: stat
// does not open the file, and the open is non-blocking and made only once the
// name is known to be a regular file, so no FIFO, device or socket is ever
// opened (one swapped in after the stat is caught by the fstat).
uint32_t NotAModuleReason(const std::string& path) {
  struct stat status = {};
  if (stat(path.c_str(), &status) != 0) {
    return static_cast<uint32_t>(errno);
  }
  if (S_ISDIR(status.st_mode)) {
    return EISDIR;
  }
  if (!S_ISREG(status.st_mode)) {
    return EINVAL;
  }
  const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) {
    return static_cast<uint32_t>(errno);
  }
  const bool regular = fstat(file, &status) == 0 && S_ISREG(status.st_mode);
  close(file);
  return regular ? 0 : EINVAL;
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
  // The loader would open and read whatever stands at a path, and a FIFO or
  // a terminal would hold it there, so a path is checked first. A bare name
  // is left to the loader's library search. The loader leaves no dependable
  // errno behind, so a failure is explained by checking the path again; for a
  // bare name it means the search found nothing.
  const std::string bytes = EncodeHostText(hostPath);
  const bool isPath = bytes.find('/') != std::string::npos;
  if (isPath) {
    lastError = NotAModuleReason(bytes);
    if (lastError != 0) {
      return nullptr;
    }
  }
  void* module = dlopen(bytes.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const uint32_t reason = isPath ? NotAModuleReason(bytes) : ENOENT;
    lastError = reason != 0 ? reason : ENOEXEC;
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
  if (!standardErrorIsOurs) {
    return 1;
  }
  std::string box = EncodeHostText(View(caption));
  if (style == MessageStyleError) {
    box += " [error]\n";
  } else if (style == MessageStyleInformation) {
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

}  // namespace

void OpenClosedStandardDescriptors() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    int opened = open("/dev/null", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (opened >= 0 && opened != descriptor) {
      const int placed = dup2(opened, descriptor);
      close(opened);
      opened = placed;
    }
    if (opened != descriptor && descriptor == STDERR_FILENO) {
      standardErrorIsOurs = false;
    }
  }
}

namespace {

const PlatformServices services = {
    LoadModule,       FindEntry,
    LastErrorCode,    PortableFormatText,
    ShowMessageBox,   PortableFindSubstring,
    PortableFindUnit, PortableFillBytes,
    EndProcess,       nullptr,
    nullptr,
};

}  // namespace

const PlatformServices& PosixPlatformServices() { return services; }

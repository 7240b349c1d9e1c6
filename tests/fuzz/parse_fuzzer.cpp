// libFuzzer target for the command-line parse. The input is read as UTF-16
// units; every result is checked against what the parse promises.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/portable_text.h"
#include "registration/command_line.h"

namespace {

const PlatformServices textOnly = {
    nullptr,          nullptr,           nullptr, nullptr, nullptr, PortableFindSubstring,
    PortableFindUnit, PortableFillBytes, nullptr,
};

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

bool Contains(const std::vector<char16_t>& line, const char16_t* const (&forms)[4]) {
  for (const char16_t* form : forms) {
    if (PortableFindSubstring(line.data(), form) != nullptr) {
      return true;
    }
  }
  return false;
}

const char16_t* const silentForms[] = {u"-s", u"-S", u"/s", u"/S"};
const char16_t* const unregisterForms[] = {u"-u", u"-U", u"/u", u"/U"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The line ends at its first NUL unit, as the platform hands it over.
  std::vector<char16_t> line(size / 2 + 1, 0);
  std::memcpy(line.data(), data, size / 2 * 2);
  size_t length = 0;
  while (line[length] != 0) {
    ++length;
  }

  // The buffer is exactly the working buffer's size, so ASan reports any write
  // past it.
  auto* buffer = new char16_t[CommandLineCapacity];
  RegistrationRequest request{};
  const ParseOutcome outcome = ParseCommandLine(
      textOnly, line.data(), *reinterpret_cast<char16_t(*)[CommandLineCapacity]>(buffer), request);

  if (length == 0) {
    Check(outcome == ParseOutcome::Empty);
  } else if (length >= CommandLineCapacity) {
    Check(outcome == ParseOutcome::TooLong);
    Check(request.silent == Contains(line, silentForms));
  } else {
    Check(outcome == ParseOutcome::Request);
    Check(request.silent == Contains(line, silentForms));
    Check(request.unregister == Contains(line, unregisterForms));

    const char16_t* name = request.moduleName;
    Check(name >= buffer && name < buffer + CommandLineCapacity);
    size_t nameLength = 0;
    while (name + nameLength < buffer + CommandLineCapacity && name[nameLength] != 0) {
      ++nameLength;
    }
    Check(name + nameLength < buffer + CommandLineCapacity);  // terminated inside
    Check(nameLength <= length);
    if (nameLength > 0) {
      Check(name[0] != u' ' && name[nameLength - 1] != u' ');
    }
    // The name never reaches past the first option marker.
    bool hasDash = false;
    for (size_t i = 0; i < length; ++i) {
      hasDash = hasDash || line[i] == u'-';
    }
    for (size_t i = 0; i < nameLength; ++i) {
      Check(name[i] != u'-');
      Check(hasDash || name[i] != u'/');
    }
  }
  delete[] buffer;
  return 0;
}

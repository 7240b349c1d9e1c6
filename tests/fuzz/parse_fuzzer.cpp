// libFuzzer target for the command-line parse. The input is read as UTF-16
// units; each result is compared with a model of the rules written
// independently of the parse, and the units around the working buffer must
// come through untouched.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/portable_text.h"
#include "registration/command_line.h"

namespace {

const PlatformServices textOnly = {
    nullptr,          nullptr,           nullptr, nullptr, nullptr, PortableFindSubstring,
    PortableFindUnit, PortableFillBytes, nullptr, nullptr, nullptr,
};

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

struct Expected {
  ParseOutcome outcome;
  bool unregister;
  bool silent;
  std::u16string name;
};

// The rules, from the user's side: an empty line is the usage case; 512 units
// or more are refused, telling only whether a silent form is in the line;
// otherwise each flag is set by any of its forms anywhere, the text is cut at
// the first "-" (or at the first "/" when there is no "-"), the first two
// quotes left become spaces, and the U+0020 around what is left is trimmed.
Expected Model(const std::u16string& line) {
  const auto holdsAny = [&](std::initializer_list<const char16_t*> forms) {
    for (const char16_t* form : forms) {
      if (line.find(form) != std::u16string::npos) {
        return true;
      }
    }
    return false;
  };
  const bool silent = holdsAny({u"-s", u"-S", u"/s", u"/S"});
  if (line.empty()) {
    return {ParseOutcome::Empty, false, false, u""};
  }
  if (line.size() >= 512) {
    return {ParseOutcome::TooLong, false, silent, u""};
  }
  std::u16string name = line.substr(0, line.find(u'-'));
  if (line.find(u'-') == std::u16string::npos) {
    name = line.substr(0, line.find(u'/'));
  }
  int quotes = 0;
  for (char16_t& unit : name) {
    if (unit == u'"' && quotes < 2) {
      unit = u' ';
      ++quotes;
    }
  }
  const size_t first = name.find_first_not_of(u' ');
  name = first == std::u16string::npos ? u"" : name.substr(first);
  name.resize(name.find_last_not_of(u' ') + 1);
  return {ParseOutcome::Request, holdsAny({u"-u", u"-U", u"/u", u"/U"}), silent, name};
}

constexpr size_t Guard = 16;
constexpr char16_t GuardUnit = 0xA5A5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The line ends at its first NUL unit, as the platform hands it over.
  std::vector<char16_t> line(size / 2 + 1, 0);
  std::memcpy(line.data(), data, size / 2 * 2);
  const std::u16string text(line.data());

  // Guard units on both sides of the working buffer, poisoned during the
  // parse so that ASan stops a read or write there, and checked afterwards.
  std::vector<char16_t> units(Guard + CommandLineCapacity + Guard, GuardUnit);
  char16_t* const buffer = units.data() + Guard;
  ASAN_POISON_MEMORY_REGION(units.data(), Guard * sizeof(char16_t));
  ASAN_POISON_MEMORY_REGION(buffer + CommandLineCapacity, Guard * sizeof(char16_t));
  RegistrationRequest request{};
  const ParseOutcome outcome = ParseCommandLine(
      textOnly, line.data(), *reinterpret_cast<char16_t(*)[CommandLineCapacity]>(buffer), request);
  ASAN_UNPOISON_MEMORY_REGION(units.data(), units.size() * sizeof(char16_t));
  for (size_t i = 0; i < Guard; ++i) {
    Check(units[i] == GuardUnit && buffer[CommandLineCapacity + i] == GuardUnit);
  }

  const Expected expected = Model(text);
  Check(outcome == expected.outcome);
  Check(request.silent == expected.silent);
  Check(request.unregister == expected.unregister);
  if (outcome == ParseOutcome::Request) {
    // The name lies in the buffer and ends inside it.
    const char16_t* name = request.moduleName;
    Check(name >= buffer && name < buffer + CommandLineCapacity);
    size_t length = 0;
    while (name + length < buffer + CommandLineCapacity && name[length] != 0) {
      ++length;
    }
    Check(name + length < buffer + CommandLineCapacity);
    Check(std::u16string(name, length) == expected.name);
  } else {
    Check(request.moduleName != nullptr && request.moduleName[0] == 0);
  }
  return 0;
}

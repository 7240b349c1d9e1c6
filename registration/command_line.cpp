#include "registration/command_line.h"

bool ContainsAnyForm(const PlatformServices& services, const char16_t* text,
                     const char16_t (&forms)[4][3]) {
  for (const char16_t* form : forms) {
    if (services.FindSubstring(text, form) != nullptr) {
      return true;
    }
  }
  return false;
}

namespace {

constexpr char16_t Space = u' ';
constexpr char16_t Quote = u'"';

// The edited copy lies in our own buffer, so a found position may be written.
char16_t* Writable(char16_t (&buffer)[CommandLineCapacity], const char16_t* found) {
  return buffer + (found - buffer);
}

}  // namespace

ParseOutcome ParseCommandLine(const PlatformServices& services, const char16_t* commandLine,
                              char16_t (&buffer)[CommandLineCapacity],
                              RegistrationRequest& request) {
  request = RegistrationRequest{u"", false, false};
  if (commandLine[0] == 0) {
    return ParseOutcome::Empty;
  }

  // A line that does not fit is refused whole: cutting it could drop a
  // trailing "-u" or load another module than the one named.
  size_t length = 0;
  while (commandLine[length] != 0) {
    if (++length == CommandLineCapacity) {
      request.silent = ContainsAnyForm(services, commandLine, SilentForms);
      return ParseOutcome::TooLong;
    }
  }

  services.FillBytes(buffer, 0, sizeof buffer);
  for (size_t i = 0; i <= length; ++i) {
    buffer[i] = commandLine[i];
  }

  // The flags are read from the whole copy before it is edited, so a form
  // counts wherever it stands, even inside the path.
  request.silent = ContainsAnyForm(services, buffer, SilentForms);
  request.unregister = ContainsAnyForm(services, buffer, UnregisterForms);

  // The one cut: at the first "-", or at the first "/" only when there is no
  // "-" at all.
  const char16_t* cut = services.FindUnit(buffer, u'-');
  if (cut == nullptr) {
    cut = services.FindUnit(buffer, u'/');
  }
  if (cut != nullptr) {
    *Writable(buffer, cut) = 0;
  }

  // At most two quote units become spaces; later ones stay in the name.
  for (int i = 0; i < 2; ++i) {
    const char16_t* quote = services.FindUnit(buffer, Quote);
    if (quote == nullptr) {
      break;
    }
    *Writable(buffer, quote) = Space;
  }

  // Only U+0020 is trimmed; tabs and other white space stay in the name.
  char16_t* start = buffer;
  while (*start == Space) {
    ++start;
  }
  char16_t* end = start;
  while (*end != 0) {
    ++end;
  }
  while (end > start && end[-1] == Space) {
    *--end = 0;
  }

  request.moduleName = start;
  return ParseOutcome::Request;
}

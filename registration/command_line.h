// Reading the command line "DLLNAME [-u] [-s]" into a registration request.
#pragma once

#include "registration/platform_services.h"

// Units in the working buffer: at most 511 units of text plus the terminator.
constexpr size_t CommandLineCapacity = 512;

struct RegistrationRequest {
  // Lies in the working buffer; may be empty; no leading or trailing U+0020.
  const char16_t* moduleName;
  bool unregister;
  bool silent;
};

// The option forms, exactly two units each, in the order they are searched
// for; there are no others. Kept as text rather than pointers to it, so that
// an image needs no relocation for them.
inline constexpr char16_t SilentForms[4][3] = {u"-s", u"-S", u"/s", u"/S"};
inline constexpr char16_t UnregisterForms[4][3] = {u"-u", u"-U", u"/u", u"/U"};

// Whether the text holds any of the forms, wherever it stands.
bool ContainsAnyForm(const PlatformServices& services, const char16_t* text,
                     const char16_t (&forms)[4][3]);

enum class ParseOutcome {
  Request,  // the request is filled in
  Empty,    // the command line is empty: the usage case
  TooLong,  // 512 units or more: refused as the usage case, never cut;
            // only the request's silent flag is filled in
};

// Parses the command line into the request, using the working buffer for the
// edited copy. Touches nothing but the buffer and the request.
ParseOutcome ParseCommandLine(const PlatformServices& services, const char16_t* commandLine,
                              char16_t (&buffer)[CommandLineCapacity],
                              RegistrationRequest& request);

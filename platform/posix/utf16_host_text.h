// Host text in and out of UTF-16 without loss.
//
// Host file names and arguments are bytes, usually UTF-8 but not always. Valid
// UTF-8 becomes the same characters in UTF-16; each byte that is not part of
// valid UTF-8 becomes the lone low surrogate U+DC00 + byte (0x80..0xFF), which
// valid UTF-8 can never produce, and turns back into that byte on the way out.
#pragma once

#include <string>
#include <string_view>

std::u16string DecodeHostText(std::string_view bytes);
std::string EncodeHostText(std::u16string_view text);

// The command line the tool sees on the host: argv[1..] joined by single
// spaces. In every argument that is not exactly one of the eight option forms,
// "/" becomes "\" so that a host path is not cut at its first slash; loading
// turns each "\" back into "/".
std::u16string BuildHostCommandLine(int argc, const char* const* argv);

#include "platform/posix/utf16_host_text.h"

#include <cstdint>

#include "registration/command_line.h"

namespace {

constexpr char16_t EscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at the start of bytes, or 0.
size_t ValidSequenceLength(std::string_view bytes, char32_t& decoded) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    decoded = lead;
    return 1;
  }
  size_t length;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, decoded = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, decoded = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, decoded = lead & 0x07u;
  } else {
    return 0;
  }
  if (bytes.size() < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    decoded = (decoded << 6) | (byte(i) & 0x3Fu);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
  if (decoded < minimum || (decoded >= 0xD800 && decoded <= 0xDFFF) || decoded > 0x10FFFF) {
    return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// One of the core's option forms, exactly.
bool IsOptionForm(std::u16string_view argument) {
  const auto isOneOf = [argument](const auto& forms) {
    for (std::u16string_view form : forms) {
      if (argument == form) {
        return true;
      }
    }
    return false;
  };
  return isOneOf(SilentForms) || isOneOf(UnregisterForms);
}

}  // namespace

std::u16string DecodeHostText(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    size_t length = ValidSequenceLength(bytes, c);
    if (length == 0) {
      text += static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(bytes[0]));
      length = 1;
    } else if (c >= 0x10000) {
      c -= 0x10000;
      text += static_cast<char16_t>(0xD800 + (c >> 10));
      text += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      text += static_cast<char16_t>(c);
    }
    bytes.remove_prefix(length);
  }
  return text;
}

std::string EncodeHostText(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= EscapeBase + 0x80 && unit <= EscapeBase + 0xFF) {
      bytes += static_cast<char>(unit - EscapeBase);
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      AppendUtf8(bytes, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else {
      // Any other lone surrogate cannot come from DecodeHostText; it is
      // written in the generalised three-byte form rather than dropped.
      AppendUtf8(bytes, unit);
    }
  }
  return bytes;
}

std::u16string BuildHostCommandLine(int argc, const char* const* argv) {
  std::u16string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) {
      commandLine += u' ';
    }
    std::u16string argument = DecodeHostText(argv[i]);
    if (!IsOptionForm(argument)) {
      for (char16_t& unit : argument) {
        if (unit == u'/') {
          unit = u'\\';
        }
      }
    }
    commandLine += argument;
  }
  return commandLine;
}

#include "platform/portable_text.h"

const char16_t* PortableFindSubstring(const char16_t* text, const char16_t* pattern) {
  if (*pattern == 0) {
    return text;
  }
  for (; *text != 0; ++text) {
    size_t i = 0;
    while (pattern[i] != 0 && text[i] == pattern[i]) {
      ++i;
    }
    if (pattern[i] == 0) {
      return text;
    }
  }
  return nullptr;
}

const char16_t* PortableFindUnit(const char16_t* text, char16_t unit) {
  for (;; ++text) {
    if (*text == unit) {
      return text;
    }
    if (*text == 0) {
      return nullptr;
    }
  }
}

void* PortableFillBytes(void* destination, int value, size_t count) {
  // volatile keeps the compiler from turning this loop back into a call to
  // memset, which a binding without a C runtime does not have.
  volatile unsigned char* bytes = static_cast<unsigned char*>(destination);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<unsigned char>(value);
  }
  return destination;
}

namespace {

bool StartsWith(const char16_t* text, const char16_t* prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) {
      return false;
    }
  }
  return true;
}

char16_t* WriteSigned(char16_t* out, int32_t value) {
  // Work in unsigned arithmetic so that the most negative value has a magnitude.
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    *out++ = u'-';
    magnitude = 0u - magnitude;
  }
  char16_t digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

char16_t* WriteHex8(char16_t* out, uint32_t value) {
  for (int shift = 28; shift >= 0; shift -= 4) {
    *out++ = u"0123456789ABCDEF"[(value >> shift) & 0xF];
  }
  return out;
}

}  // namespace

int PortableFormatText(char16_t* destination, const char16_t* format, int32_t value) {
  char16_t* out = destination;
  while (*format != 0) {
    if (StartsWith(format, u"%i")) {
      out = WriteSigned(out, value);
      format += 2;
    } else if (StartsWith(format, u"%08X")) {
      out = WriteHex8(out, static_cast<uint32_t>(value));
      format += 4;
    } else if (StartsWith(format, u"%%")) {
      *out++ = u'%';
      format += 2;
    } else {
      *out++ = *format++;
    }
  }
  *out = 0;
  return static_cast<int>(out - destination);
}

// One line of a helper's output: the label, then the text (at most `length`
// units, up to its NUL) in UTF-8, "\" written "\\", line feeds "\n", returns "\r".
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline void PrintLine(const char* label, const wchar_t* text, size_t length = SIZE_MAX) {
  std::string bytes = label;
  for (size_t i = 0; i < length && text[i] != 0; ++i) {
    char encoded[8];
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, &text[i], 1, encoded, sizeof encoded, nullptr, nullptr);
    bytes += text[i] == L'\\'   ? "\\\\"
             : text[i] == L'\n' ? "\\n"
             : text[i] == L'\r' ? "\\r"
                                : std::string(encoded, count > 0 ? static_cast<size_t>(count) : 0);
  }
  std::printf("%s\n", bytes.c_str());
}

// Reads the version record of an image by its name, VS_VERSION_INFO, and
// prints every fixed field and the strings of the keys named after the image
// in its one table, one per line:
//   resource <language>                  the record, found by name
//   fixed 0x...                         each word of the fixed part, in order
//   translation 0xLLLL 0xCCCC
//   string <key>=<value> | missing <key>
// The strings are UTF-8 with "\" written "\\" and a line feed "\n".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/windows/print_line.h"

namespace {

BOOL CALLBACK FirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  *reinterpret_cast<WORD*>(found) = language;
  return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: version_reader IMAGE [KEY...]\n");
    return 2;
  }
  const HMODULE image = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (image == nullptr) {
    std::printf("load failed %lu\n", GetLastError());
    return 1;
  }
  const HRSRC resource = FindResourceW(image, L"VS_VERSION_INFO", MAKEINTRESOURCEW(16));
  if (resource == nullptr) {
    std::printf("no record named VS_VERSION_INFO %lu\n", GetLastError());
    return 1;
  }
  WORD language = 0xFFFF;
  EnumResourceLanguagesW(image, MAKEINTRESOURCEW(16), L"VS_VERSION_INFO", FirstLanguage,
                         reinterpret_cast<LONG_PTR>(&language));
  std::printf("resource 0x%04X\n", language);

  // VerQueryValueW reads a writable copy of the record, as it would one that
  // GetFileVersionInfoW filled in.
  const DWORD size = SizeofResource(image, resource);
  static BYTE record[65536];
  if (size == 0 || size > sizeof record / 2) {
    std::printf("bad record size %lu\n", size);
    return 1;
  }
  std::memcpy(record, LockResource(LoadResource(image, resource)), size);

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(record, L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof *fixed) {
    std::printf("no fixed part\n");
    return 1;
  }
  // Its thirteen words, signature first, date last.
  DWORD words[sizeof *fixed / sizeof(DWORD)];
  std::memcpy(words, fixed, sizeof words);
  for (const DWORD word : words) {
    std::printf("fixed 0x%08lX\n", word);
  }

  WORD* translation = nullptr;
  if (VerQueryValueW(record, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                     &length) &&
      length >= 4) {
    std::printf("translation 0x%04X 0x%04X\n", translation[0], translation[1]);
  } else {
    std::printf("translation missing\n");
  }

  for (int argument = 2; argument < argc; ++argument) {
    const wchar_t* key = argv[argument];
    wchar_t path[128];
    wsprintfW(path, L"\\StringFileInfo\\000004b0\\%s", key);
    wchar_t* value = nullptr;
    length = 0;
    char keyBytes[64];
    WideCharToMultiByte(CP_UTF8, 0, key, -1, keyBytes, sizeof keyBytes, nullptr, nullptr);
    if (VerQueryValueW(record, path, reinterpret_cast<void**>(&value), &length) &&
        value != nullptr) {
      PrintLine((std::string("string ") + keyBytes + "=").c_str(), value, length);
    } else {
      std::printf("missing %s\n", keyBytes);
    }
  }
  return 0;
}

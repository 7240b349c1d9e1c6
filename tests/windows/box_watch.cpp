// Finds the message box that another process shows, reads it back and, when
// asked, presses its button.
//
//   box_watch find TIMEOUT_MS   waits for a visible dialog-class window and
//                               prints "caption <text>", "text <text>" and
//                               "button <text>" (UTF-8, "\" as "\\", line
//                               feed as "\n")
//   box_watch press TIMEOUT_MS  waits for it likewise and clicks its OK button
// Exits with 0 when it found the box, 1 when none appeared in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "tests/windows/print_line.h"

namespace {

// Static text control identifiers that message boxes have used for the text.
constexpr int TextControlIds[] = {0xFFFF, 100};

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
  wchar_t className[64];
  if (IsWindowVisible(window) && GetClassNameW(window, className, 64) > 0 &&
      std::wcscmp(className, L"#32770") == 0) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitForDialog(DWORD timeout) {
  const ULONGLONG deadline = GetTickCount64() + timeout;
  do {
    HWND dialog = nullptr;
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog != nullptr) {
      return dialog;
    }
    Sleep(50);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: box_watch find|press TIMEOUT_MS\n");
    return 2;
  }
  const bool press = std::string(argv[1]) == "press";
  const HWND dialog = WaitForDialog(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  if (dialog == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  const HWND button = GetDlgItem(dialog, IDOK);
  if (press) {
    if (button == nullptr) {
      std::printf("no OK button\n");
      return 1;
    }
    SendMessageW(button, BM_CLICK, 0, 0);
    std::printf("pressed\n");
    return 0;
  }
  wchar_t text[1024];
  GetWindowTextW(dialog, text, 1024);
  PrintLine("caption ", text);
  text[0] = 0;
  for (int id : TextControlIds) {
    if (GetDlgItemTextW(dialog, id, text, 1024) > 0) {
      break;
    }
  }
  PrintLine("text ", text);
  text[0] = 0;
  if (button != nullptr) {
    GetWindowTextW(button, text, 1024);
  }
  PrintLine("button ", text);
  return 0;
}

#include "ui/win32/dialog_text.h"

namespace kiv {

std::string dialog_text(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  int length = GetWindowTextLengthA(control);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  int copied = GetWindowTextA(control, &text[0], length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

size_t whole_ansi_characters(const std::string& text, size_t limit) {
  size_t end = 0;
  while (end < text.size()) {
    size_t next = end + (IsDBCSLeadByte(static_cast<BYTE>(text[end])) ? 2 : 1);
    if (next > limit || next > text.size()) break;
    end = next;
  }
  return end;
}

}  // namespace kiv

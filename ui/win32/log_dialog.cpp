// The Log dialog of kiv-agent.exe: the lines of the event log, rebuilt
// every five seconds while it is open when new lines have come.

#include <cstring>
#include <string>

#include "platform/no_destructor.h"
#include "ui/log_view.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/refreshing_dialog.h"
#include "ui/win32/resource_ids.h"

namespace kiv {

namespace {

constexpr UINT REFRESH_MS = 5000;

LogView& log_view() {  // window thread only
  static NoDestructor<LogView> view;
  return *view;
}

/// The text of `edit` from `start` to `end`.
std::string text_between(HWND edit, DWORD start, DWORD end) {
  std::string text(static_cast<size_t>(GetWindowTextLengthA(edit)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(edit, &text[0], static_cast<int>(text.size()))));
  return start < end && end <= text.size() ? text.substr(start, end - start) : std::string();
}

/// Puts `text` into the edit, keeping the operator's place in it (at the end
/// if it was showing the end, else at the same first line) and what they
/// selected, while the same text stands there (a flush empties the log).
void show_text(HWND edit, const char* text) {
  SCROLLINFO scroll = {};
  scroll.cbSize = sizeof scroll;
  scroll.fMask = SIF_POS | SIF_PAGE | SIF_RANGE;
  bool at_end = !GetScrollInfo(edit, SB_VERT, &scroll) ||
                scroll.nPos + static_cast<int>(scroll.nPage) > scroll.nMax;
  LRESULT first_line = SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0);
  DWORD start = 0, end = 0;
  SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  std::string selected = text_between(edit, start, end);
  SetWindowTextA(edit, text);
  if (start == end) {
    // The caret alone follows the end where the view does.
    start = end = at_end ? static_cast<DWORD>(strlen(text)) : start;
  } else if (text_between(edit, start, end) != selected) {
    start = end = 0;
  }
  SendMessageA(edit, EM_SETSEL, start, end);
  if (at_end) {
    SendMessageA(edit, WM_VSCROLL, SB_BOTTOM, 0);
  } else {
    SendMessageA(edit, EM_LINESCROLL, 0,
                 first_line - SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
  }
}

void refresh(HWND dialog) {
  HWND edit = GetDlgItem(dialog, IDC_LOG_TEXT);
  switch (log_view().refresh()) {
    case LogView::Refresh::Unchanged:
      break;
    case LogView::Refresh::Rebuilt:
      show_text(edit, log_view().text());
      break;
    case LogView::Refresh::OutOfMemory:
      SetWindowTextA(edit, "No enough memory to display Log");
      break;
  }
}

}  // namespace

INT_PTR CALLBACK log_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  INT_PTR handled = handle_refreshing_dialog(dialog, message, wparam, REFRESH_MS, refresh,
                                             [] { log_view().clear(); });
  if (message != WM_INITDIALOG) return handled;
  // Given the focus by the dialog, the text would open all selected.
  SetFocus(GetDlgItem(dialog, IDC_LOG_TEXT));
  return FALSE;
}

}  // namespace kiv

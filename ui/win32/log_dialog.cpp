// The Log dialog of kiv-agent.exe: the lines of the event log, rebuilt
// every five seconds while it is open when new lines have come.

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

/// Puts `text` into the edit, keeping the operator's place in it: at the end
/// if it was showing the end, else at the same first line.
void show_text(HWND edit, const char* text) {
  SCROLLINFO scroll = {};
  scroll.cbSize = sizeof scroll;
  scroll.fMask = SIF_POS | SIF_PAGE | SIF_RANGE;
  bool at_end = !GetScrollInfo(edit, SB_VERT, &scroll) ||
                scroll.nPos + static_cast<int>(scroll.nPage) > scroll.nMax;
  LRESULT first_line = SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0);
  SetWindowTextA(edit, text);
  if (at_end) {
    // The caret goes to the end of the new text, and the view with it.
    WPARAM end = static_cast<WPARAM>(GetWindowTextLengthA(edit));
    SendMessageA(edit, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageA(edit, EM_SCROLLCARET, 0, 0);
  } else {
    SendMessageA(edit, EM_LINESCROLL, 0, first_line);
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
  return handle_refreshing_dialog(dialog, message, wparam, REFRESH_MS, refresh, [] { log_view().clear(); });
}

}  // namespace kiv

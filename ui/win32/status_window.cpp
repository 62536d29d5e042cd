#include "ui/win32/status_window.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "agent/lifecycle.h"
#include "platform/no_destructor.h"
#include "core/event_log.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "ui/menu_commands.h"
#include "ui/status_view.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/resource_ids.h"

namespace kiv {

namespace {

constexpr const char* CLASS_NAME = "KIVClass";
/// A worker's warning, carried to the window thread: lparam is the text.
constexpr UINT WM_SHOW_WARNING = WM_APP + 1;
/// Outer height of the window beyond its rows: title bar, frame and the
/// part of the last lamp below its row.
constexpr int STATUS_EXTRA_HEIGHT = 30;
constexpr uint16_t LAMP_STATES[] = {SVC_ERROR, SVC_ACTIVE, SVC_DISABLED, SVC_READY};

// Window thread only, apart from `window`, which workers read to send to it
// (null before the window is made and once it is destroyed).
HINSTANCE instance = nullptr;
std::atomic<HWND> window{nullptr};
HBRUSH lamp_brushes[4] = {};  // indexed by state - SVC_READY
bool shut_down = false;       // the agent has been shut down: no command runs after it
/// A status change is posted and not handled yet: later ones add nothing.
std::atomic<bool> repaint_posted{false};

COLORREF colour_ref(Rgb colour) { return RGB(colour.red, colour.green, colour.blue); }

/// StatusWindowThread is the agent's window thread on Windows: the thread
/// that made the status window and runs its message loop. Notifications from
/// other threads are messages posted to the window, which that thread's
/// loop delivers in the order posted, also inside a dialog's or a message
/// box's own loop; no sender waits for them. A warning from another thread
/// is posted the same way: the event loop or a worker waiting for the
/// operator would hold every relay up.
class StatusWindowThread : public WindowThread {
 public:
  void deliver(Notification code) override {
    // With no window (yet or any more) there is nothing to handle it: acknowledged.
    HWND receiver = window.load();
    if (receiver == nullptr) return;
    // One repaint draws every change made before it runs. So at most one
    // status change and a thread-closed per service wait in the queue, far
    // below the most that a thread's queue takes.
    if (code == NOTIFY_STATUS_CHANGED && repaint_posted.exchange(true)) return;
    PostMessageA(receiver, WM_COMMAND, code, 0);
  }

  void show_warning(const char* text) override {
    HWND receiver = window.load();
    if (receiver == nullptr) {
      MessageBoxA(nullptr, text, "KIV Error", MB_OK | MB_ICONWARNING);
      return;
    }
    // The copy is the window's to free once the box has closed.
    char* copy = _strdup(text);
    if (GetWindowThreadProcessId(receiver, nullptr) == GetCurrentThreadId()) {
      SendMessageA(receiver, WM_SHOW_WARNING, 0, reinterpret_cast<LPARAM>(copy));
    } else if (!PostMessageA(receiver, WM_SHOW_WARNING, 0, reinterpret_cast<LPARAM>(copy))) {
      free(copy);
    }
  }

  void prepare_lamps() override {
    for (uint16_t state : LAMP_STATES) {
      Rgb colour;
      lamp_colour(state, colour);
      lamp_brushes[state - SVC_READY] = CreateSolidBrush(colour_ref(colour));
    }
  }

  void release_lamps() override {
    for (uint16_t state : LAMP_STATES) {
      DeleteObject(lamp_brushes[state - SVC_READY]);
      lamp_brushes[state - SVC_READY] = nullptr;
    }
  }

  void resize_status_window() override {
    SetWindowPos(window, nullptr, 0, 0, STATUS_WIDTH,
                 service_table().service_count * ROW_SPACING + STATUS_EXTRA_HEIGHT,
                 SWP_NOMOVE | SWP_NOZORDER);
  }

  void add_menu_items() override {
    HMENU menu = GetSystemMenu(window, FALSE);
    for (const MenuItem& item : MENU_ITEMS) {
      if (item.text == nullptr) {
        InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_SEPARATOR, 0, nullptr);
      } else {
        InsertMenuA(menu, SC_CLOSE, MF_BYCOMMAND | MF_STRING, item.id, item.text);
      }
    }
    DrawMenuBar(window);
  }

  void repaint_lamps() override {
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
  }

  void redraw_status_window() override {
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
  }

  void end_event_loop(int exit_code) override { PostQuitMessage(exit_code); }
};

StatusWindowThread& status_window_thread() {
  static NoDestructor<StatusWindowThread> thread;
  return *thread;
}

void paint_lamp(HDC dc, const ServiceRecord& row, int row_y) {
  uint16_t state = row.state;
  Rgb colour;
  if (!lamp_colour(state, colour)) return;
  HGDIOBJ replaced = SelectObject(dc, lamp_brushes[state - SVC_READY]);
  Rectangle(dc, LAMP_LEFT, row_y + LAMP_TOP, LAMP_LEFT + LAMP_SIZE, row_y + LAMP_TOP + LAMP_SIZE);
  SelectObject(dc, replaced);
  const char* title = status_title();
  char shown[32] = "";
  GetWindowTextA(window, shown, sizeof shown);
  if (strcmp(shown, title) != 0) SetWindowTextA(window, title);
}

void paint_status_window() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  SetBkMode(dc, TRANSPARENT);
  HGDIOBJ font = SelectObject(dc, status_row_font());
  ServiceTable& table = service_table();
  int count = table.service_count;
  HBRUSH background = reinterpret_cast<HBRUSH>(GetClassLongPtrA(window, GCLP_HBRBACKGROUND));
  for (int r = 0; r < count; ++r) {
    ServiceConfig config = table.rows[r].config();
    RowText text = status_row_text(config);
    // A repaint for a status change does not erase the window, and the text
    // is drawn transparent: a row whose text changed (a new port) would
    // show the old one under it. The text's cell, left of the lamp, is
    // cleared first; the lamps change in place.
    RECT cell = {0, config.row_y, LAMP_LEFT, config.row_y + ROW_SPACING};
    FillRect(dc, &cell, background);
    TextOutA(dc, ROW_TEXT_LEFT, config.row_y, text.text, static_cast<int>(strlen(text.text)));
    paint_lamp(dc, table.rows[r], config.row_y);
  }
  SelectObject(dc, font);
  EndPaint(window, &paint);
}

INT_PTR open_dialog(const char* template_name, DLGPROC procedure) {
  return DialogBoxParamA(instance, template_name, window, procedure, 0);
}

void on_system_command(int id) {
  switch (id) {
    case CMD_ABOUT:
      open_dialog(IDD_ABOUT, about_dialog);
      break;
    case CMD_CONFIGURE: {
      int result = static_cast<int>(open_dialog(MAKEINTRESOURCEA(IDD_CONFIGURATION),
                                                configuration_dialog));
      // The window may have been closed while the dialog was open.
      if (!shut_down) after_configuration(result);
      break;
    }
    case CMD_RESET:
      request_reset("Pending KIV reset...");
      break;
    case CMD_STATUS:
      open_dialog(MAKEINTRESOURCEA(IDD_STATISTICS), statistics_dialog);
      break;
    case CMD_LOG:
      open_dialog(MAKEINTRESOURCEA(IDD_LOG), log_dialog);
      break;
  }
}

LRESULT CALLBACK status_window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      window = hwnd;
      start_agent();
      return 0;
    case WM_PAINT:
      paint_status_window();
      return 0;
    case WM_DESTROY:
      window = nullptr;
      shut_down = true;
      shutdown_agent();
      return 0;
    case WM_QUERYENDSESSION:
      // Windows may end the process once every window has agreed.
      flush_event_log();
      return TRUE;
    case WM_ENDSESSION:
      // The session ends (logoff, shutdown): the agent stops as Close stops it.
      if (wparam) DestroyWindow(hwnd);
      return 0;
    case WM_COMMAND: {
      int code = LOWORD(wparam);
      if (code != NOTIFY_STATUS_CHANGED && code != NOTIFY_THREAD_CLOSED) break;
      // Cleared first: a change made while the repaint runs needs one more.
      if (code == NOTIFY_STATUS_CHANGED) repaint_posted = false;
      if (!shut_down) handle_notification(static_cast<Notification>(code));
      return 0;
    }
    case WM_SYSCOMMAND: {
      int id = LOWORD(wparam);
      if (id < CMD_ABOUT || id > CMD_LOG) break;
      if (!shut_down) on_system_command(id);
      return 0;
    }
    case WM_SHOW_WARNING:
      // While the window is being made, the box has no owner.
      MessageBoxA(IsWindowVisible(hwnd) ? hwnd : nullptr, reinterpret_cast<const char*>(lparam),
                  "KIV Error", MB_OK | MB_ICONWARNING);
      free(reinterpret_cast<char*>(lparam));
      return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace

bool register_status_class(HINSTANCE program) {
  instance = program;
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = status_window_procedure;
  window_class.hInstance = program;
  window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  window_class.hbrBackground = CreateSolidBrush(colour_ref(STATUS_BACKGROUND));
  window_class.lpszClassName = CLASS_NAME;
  return RegisterClassA(&window_class) != 0;
}

bool create_status_window(int show_command) {
  install_window_thread(&status_window_thread());
  HWND created = CreateWindowExA(0, CLASS_NAME, "KIV", WS_DLGFRAME | WS_SYSMENU | WS_MINIMIZEBOX,
                                 100, 100, STATUS_WIDTH, 10, nullptr, nullptr, instance, nullptr);
  if (created == nullptr) return false;
  ShowWindow(created, show_command);
  UpdateWindow(created);
  return true;
}

int run_event_loop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

HWND status_window() { return window; }

HFONT status_row_font() {
  // Made once and kept for the process's life, as the window class's brush is.
  static HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                  FIXED_PITCH | FF_MODERN, "Courier New");
  return font;
}

}  // namespace kiv

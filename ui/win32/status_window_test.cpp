// kiv-agent.exe's window and dialogs, driven from inside the process as the
// operator's clicks would drive them: one agent, made by the first test that
// needs it, for the whole process.

#include "ui/win32/status_window.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <winsock2.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/lifecycle.h"
#include "core/service_table.h"
#include "tests/temp_folder.h"
#include "ui/menu_commands.h"

namespace kiv {
namespace {

constexpr DWORD DEADLINE_MS = 20000;

uint16_t free_port() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  return ntohs(address.sin_port);
}

// A remote host on loopback that takes each client and holds it until the
// client's side ends; returns its port.
uint16_t start_remote_host() {
  SOCKET listening = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(listening, reinterpret_cast<sockaddr*>(&address), size);
  listen(listening, 5);
  getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size);
  std::thread([listening] {
    for (SOCKET client; (client = accept(listening, nullptr, nullptr)) != INVALID_SOCKET;) {
      char block[256];
      while (recv(client, block, sizeof block, 0) > 0) {
      }
      closesocket(client);
    }
  }).detach();
  return ntohs(address.sin_port);
}

struct Agent {
  kiv_test::TempFolder folder;
  uint16_t control_port, loop_port;
  std::string config;
};

// The agent: a control port, a forwarder to a remote host and a disabled row.
Agent& agent() {
  static Agent* made = [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    auto* agent = new Agent;  // lives as long as the window
    agent->control_port = free_port();
    agent->loop_port = free_port();
    std::string control = std::to_string(agent->control_port);
    agent->config = "KIV " + control + " " + control + " 0.0.0.0 NONE 1\n" + "LOOP " +
                    std::to_string(agent->loop_port) + " " +
                    std::to_string(start_remote_host()) + " 127.0.0.1 NONE 1\n" +
                    "OFF 7 7 127.0.0.1 NONE 0\n";
    agent->folder.write("kiv.cnf", agent->config);
    chdir(agent->folder.path().c_str());
    take_start_time();
    register_status_class(GetModuleHandleA(nullptr));
    create_status_window(SW_SHOWNORMAL);
    return agent;
  }();
  return *made;
}

// Handles the thread's messages, as its event loop would, until `done` holds.
bool pump_until(const std::function<bool()>& done) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < DEADLINE_MS; Sleep(10)) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (done()) return true;
  }
  return false;
}

std::string title() {
  char text[64] = "";
  GetWindowTextA(status_window(), text, sizeof text);
  return text;
}

COLORREF lamp(int row) {
  HDC dc = GetDC(status_window());
  COLORREF colour = GetPixel(dc, 105, row * 15 + 9);
  ReleaseDC(status_window(), dc);
  return colour;
}

TEST(Win32StatusWindow, HasItsClassTitleSizeAndSystemMenu) {
  agent();
  HWND window = status_window();
  char class_name[32] = "";
  GetClassNameA(window, class_name, sizeof class_name);
  EXPECT_STREQ(class_name, "KIVClass");
  EXPECT_EQ(title(), "KIV");
  RECT frame;
  GetWindowRect(window, &frame);
  EXPECT_EQ(frame.left, 100);
  EXPECT_EQ(frame.right - frame.left, 120);
  EXPECT_EQ(frame.bottom - frame.top, 3 * 15 + 30);  // the rows at start
  LONG style = GetWindowLongA(window, GWL_STYLE);
  EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
            WS_SYSMENU | WS_MINIMIZEBOX);

  // The agent's items stand right above the system's Close item.
  HMENU menu = GetSystemMenu(window, FALSE);
  int close = 0;
  while (close < GetMenuItemCount(menu) && GetMenuItemID(menu, close) != SC_CLOSE) ++close;
  ASSERT_GE(close, 7);
  std::vector<std::string> items;
  for (int i = close - 7; i < close; ++i) {
    char text[64] = "";
    GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
    bool separator = (GetMenuState(menu, i, MF_BYPOSITION) & MF_SEPARATOR) != 0;
    items.push_back(separator ? "-" : std::string(text) + " " +
                                          std::to_string(GetMenuItemID(menu, i)));
  }
  EXPECT_EQ(items, (std::vector<std::string>{"Configure... 301", "Status... 303", "Log... 304",
                                             "Reset 302", "-", "About KIV 300", "-"}));
}

SOCKET connect_loopback(uint16_t port) {
  SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return client;
  closesocket(client);
  return INVALID_SOCKET;
}

TEST(Win32StatusWindow, RelayTurnsItsLampGreenThenYellow) {
  Agent& running = agent();
  const COLORREF yellow = RGB(255, 255, 0), green = RGB(0, 255, 0), blue = RGB(0, 0, 255);
  ASSERT_TRUE(pump_until([&] { return lamp(1) == yellow; })) << std::hex << lamp(1);
  EXPECT_EQ(lamp(2), blue);
  // The listener listens a moment after its thread starts.
  SOCKET client = INVALID_SOCKET;
  ASSERT_TRUE(pump_until([&] {
    client = connect_loopback(running.loop_port);
    return client != INVALID_SOCKET;
  }));
  EXPECT_TRUE(pump_until([&] { return lamp(1) == green && title() == "KIV-Connected"; }))
      << std::hex << lamp(1) << " " << title();
  closesocket(client);
  EXPECT_TRUE(pump_until([&] { return lamp(1) == yellow && title() == "KIV"; }))
      << std::hex << lamp(1) << " " << title();
}

/// What the operator saw of a dialog: its control ids in tab order and the
/// texts of some of its controls.
struct Seen {
  std::vector<int> tab_order;
  std::vector<std::string> texts;
};

// The visible dialog or message box `caption` of the window thread (not of
// another program on the same display), waited for.
HWND wait_for_window(const char* caption) {
  struct Search {
    const char* caption;
    HWND found;
  } search{caption, nullptr};
  DWORD window_thread = GetWindowThreadProcessId(status_window(), nullptr);
  for (DWORD start = GetTickCount(); GetTickCount() - start < DEADLINE_MS; Sleep(10)) {
    EnumThreadWindows(
        window_thread,
        [](HWND window, LPARAM context) {
          auto* search = reinterpret_cast<Search*>(context);
          char text[64] = "", class_name[16] = "";
          GetWindowTextA(window, text, sizeof text);
          GetClassNameA(window, class_name, sizeof class_name);
          if (strcmp(text, search->caption) != 0 || strcmp(class_name, "#32770") != 0 ||
              !IsWindowVisible(window)) {
            return TRUE;
          }
          search->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
  }
  return nullptr;
}

// Chooses `command` from the system menu while another thread, the
// operator, waits for the dialog `caption`, looks at it and runs `answer`.
Seen open_from_menu(int command, const char* caption, const std::vector<int>& text_ids,
                    const std::function<void(HWND)>& answer) {
  Seen seen;
  std::thread operator_thread([&] {
    HWND dialog = wait_for_window(caption);
    if (dialog == nullptr) return;
    Sleep(300);  // the first refresh has run
    HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
    for (HWND control = first; control != nullptr && seen.tab_order.size() < 50;) {
      seen.tab_order.push_back(GetDlgCtrlID(control));
      control = GetNextDlgTabItem(dialog, control, FALSE);
      if (control == first) break;
    }
    for (int id : text_ids) {
      char text[4096] = "";
      GetDlgItemTextA(dialog, id, text, sizeof text);
      seen.texts.push_back(text);
    }
    answer(dialog);
  });
  SendMessageA(status_window(), WM_SYSCOMMAND, command, 0);
  operator_thread.join();
  return seen;
}

void press(HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, id, 0); }
void escape(HWND dialog) { press(dialog, IDCANCEL); }

std::vector<int> ids(std::initializer_list<std::pair<int, int>> runs) {
  std::vector<int> all;
  for (auto [first, count] : runs) {
    for (int i = 0; i < count; ++i) all.push_back(first + i);
  }
  return all;
}

TEST(Win32Dialogs, EachOpensFromItsMenuCommandWithItsControlsInTabOrder) {
  agent();
  Seen about = open_from_menu(CMD_ABOUT, "About KIV Agent", {}, escape);
  EXPECT_EQ(about.tab_order, std::vector<int>{IDOK});

  Seen statistics = open_from_menu(CMD_STATUS, "KIV Statistics", {1000, 1002, 1004, 1023}, escape);
  EXPECT_EQ(statistics.tab_order, ids({{1023, 1}, {1000, 5}, {1005, 5}, {1010, 5}, {1015, 5}}));
  ASSERT_EQ(statistics.texts.size(), 4u);
  EXPECT_EQ(statistics.texts[0], "KIV");
  EXPECT_EQ(statistics.texts[1], "OFF");
  EXPECT_EQ(statistics.texts[2], "");
  EXPECT_EQ(statistics.texts[3].rfind("0 Days 0 Hours ", 0), 0u) << statistics.texts[3];

  Seen log = open_from_menu(CMD_LOG, "KIV Log", {1000}, escape);
  EXPECT_EQ(log.tab_order, std::vector<int>{1000});
  ASSERT_EQ(log.texts.size(), 1u);
  EXPECT_NE(log.texts[0].find(":  *** KIV Started ***\r\n"), std::string::npos) << log.texts[0];
}

TEST(Win32Dialogs, ConfigurationOkWritesKivCnfAndAsksOverTheStatusWindow) {
  Agent& running = agent();
  HWND question_owner = nullptr;
  Seen configuration = open_from_menu(
      CMD_CONFIGURE, "KIV Configuration", {1000, 1006, 1029}, [&](HWND dialog) {
        SetDlgItemTextA(dialog, 1003, "NEWER");
        SetDlgItemTextA(dialog, 1008, "70000");
        SetDlgItemTextA(dialog, 1013, "newhost");
        SetDlgItemTextA(dialog, 1026, "WINDOWS");
        SendDlgItemMessageA(dialog, 1018, BM_SETCHECK, BST_CHECKED, 0);
        press(dialog, IDOK);
        HWND question = wait_for_window("Do You Want to Use New Settings?");
        question_owner = GetWindow(question, GW_OWNER);
        press(question, IDNO);
      });
  EXPECT_EQ(configuration.tab_order, ids({{IDOK, 1}, {IDCANCEL, 1}, {1000, 5}, {1005, 5},
                                          {1010, 5}, {1015, 5}, {1023, 5}, {1029, 5}}));
  ASSERT_EQ(configuration.texts.size(), 3u);
  EXPECT_EQ(configuration.texts[0], "KIV");
  EXPECT_EQ(configuration.texts[1], std::to_string(running.loop_port));
  EXPECT_EQ(configuration.texts[2], std::to_string(running.control_port));
  EXPECT_EQ(question_owner, status_window());

  std::string expected;
  for (char c : running.config + "NEWER 4464 4464 newhost WINDOWS 1\n") {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  EXPECT_EQ(running.folder.read("kiv.cnf"), expected);
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The agent's threads still run: end without tearing anything down.
  std::_Exit(RUN_ALL_TESTS());
}

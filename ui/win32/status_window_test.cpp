// kiv-agent.exe's window and dialogs in one agent, driven from inside the process as the operator
// would.
#include "ui/win32/status_window.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <winsock2.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/lifecycle.h"
#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "tests/temp_folder.h"
#include "ui/menu_commands.h"
#include "ui/win32/resource_ids.h"

namespace kiv {
namespace {

// A loopback port that nothing listens on.
uint16_t free_port() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
  int size = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(s);
  return ntohs(address.sin_port);
}

// Handles the thread's messages, as its event loop would, until `done` holds (20 s at most).
bool pump_until(const std::function<bool()>& done) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(10)) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (done()) return true;
  }
  return false;
}

// The window's title and lamp `row`'s colour (00BBGGRR).
std::string looks(int row) {
  HWND window = status_window();
  char title[64] = "", text[100];
  GetWindowTextA(window, title, sizeof title);
  HDC dc = GetDC(window);
  snprintf(text, sizeof text, "%s lamp %06lx", title, GetPixel(dc, 105, row * 15 + 9));
  ReleaseDC(window, dc);
  return text;
}

// `text` in the system's ANSI code page, the encoding of kiv.cnf's names on Windows.
std::string ansi(const wchar_t* text) {
  char bytes[64];
  int size = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  return std::string(bytes, size > 0 ? size - 1 : 0);
}

// A name of five letters of the code page (Cyrillic in the tests' Russian locale), and six
// typed, the first and last of which would read as UTF-8 continuation bytes.
struct Letters {
  const wchar_t *name, *typed, *taken;
};
const Letters LETTERS = GetACP() == 1251 ? Letters{L"ПОЧТА", L"ЁЖИКИЁ", L"ЁЖИКИ"}
                                         : Letters{L"ÀÉÎÕÜ", L"ŽŠŒŽŠŒ", L"ŽŠŒŽŠ"};

HWND wait_for_window(const char* caption) {
  HWND found = nullptr;
  bool shown = pump_until([&] {
    found = FindWindowA("#32770", caption);
    return IsWindowVisible(found);
  });
  return shown ? found : nullptr;
}

// Chooses `command` from the system menu while another thread, the operator, waits for the
// dialog `caption`, reads the texts of `text_ids` ("|" before each) and runs `answer` (or Cancel).
std::string open_from_menu(int command, const char* caption, const std::vector<int>& text_ids,
                           const std::function<void(HWND)>& answer = nullptr) {
  std::string seen;
  std::thread operator_thread([&] {
    HWND dialog = wait_for_window(caption);
    if (dialog == nullptr) {
      // Another dialog in its place is closed, so that the menu command returns.
      PostMessageA(FindWindowA("#32770", nullptr), WM_COMMAND, IDCANCEL, 0);
      return;
    }
    char text[4096];
    for (int id : text_ids) {
      seen += "|" + std::string(text, GetDlgItemTextA(dialog, id, text, sizeof text));
    }
    if (answer) {
      answer(dialog);
    } else {
      PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
  });
  SendMessageA(status_window(), WM_SYSCOMMAND, command, 0);
  operator_thread.join();
  return seen;
}

TEST(Win32StatusWindow, ShowsItsLampsAndOpensItsDialogs) {
  // A control port, a forwarder and a disabled row; kiv.cnf with CR LF, as on Windows.
  const std::string control = std::to_string(free_port());
  const std::string loop = std::to_string(free_port());
  const std::string config = "KIV " + control + " " + control + " 0.0.0.0 NONE 1\r\n" +
                             "LOOP " + loop + " " + std::to_string(free_port()) +
                             " 127.0.0.1 NONE 1\r\n" + ansi(LETTERS.name) +
                             " 7 7 127.0.0.1 NONE 0\r\n";
  auto* folder = new kiv_test::TempFolder;  // outlives the agent's threads
  folder->write("kiv.cnf", config);
  chdir(folder->path().c_str());
  take_start_time();
  register_status_class(GetModuleHandleA(nullptr));
  create_status_window(SW_SHOWNORMAL);

  // The forwarder yellow; a client connected: green, and the title says so.
  ASSERT_TRUE(pump_until([] { return looks(1) == "KIV lamp 00ffff"; })) << looks(1);
  service_table().rows[1].state = SVC_ACTIVE;
  ++connection_count;
  send_notification(NOTIFY_STATUS_CHANGED);
  EXPECT_TRUE(pump_until([] { return looks(1) == "KIV-Connected lamp 00ff00"; })) << looks(1);
  --connection_count;

  std::string statistics =
      open_from_menu(CMD_STATUS, "KIV Statistics", {1000, 1002, 1004, 1023});
  EXPECT_EQ(statistics.rfind("|KIV|" + ansi(LETTERS.name) + "||0 Days 0 Hours", 0), 0u);

  std::string log = open_from_menu(CMD_LOG, "KIV Log", {IDC_LOG_TEXT});
  EXPECT_NE(log.find(":  *** KIV Started ***\r\n"), std::string::npos) << "the log's first line";

  // OK asks whether to use the new settings; kiv.cnf is written anyway. LOOP's port changes too.
  auto type_a_row_and_answer_no = [&](HWND dialog) {
    const std::pair<int, const char*> typed[] = {
        {1008, "70000"}, {1013, "newhost"}, {1026, "WINDOWS"}, {1006, "1"}};
    for (auto [id, text] : typed) SetDlgItemTextA(dialog, id, text);
    SetDlgItemTextW(dialog, 1003, LETTERS.typed);
    SendDlgItemMessageA(dialog, 1018, BM_SETCHECK, BST_CHECKED, 0);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    HWND question = wait_for_window("Do You Want to Use New Settings?");
    PostMessageA(question, WM_COMMAND, IDNO, 0);
  };
  EXPECT_EQ(open_from_menu(CMD_CONFIGURE, "KIV Configuration", {1002, 1006, 1029},
                           type_a_row_and_answer_no),
            "|" + ansi(LETTERS.name) + "|" + loop + "|" + control)
      << "the grid shows kiv.cnf";
  std::string changed = config;
  changed.replace(changed.find("LOOP " + loop), 5 + loop.size(), "LOOP 1");
  EXPECT_EQ(folder->read("kiv.cnf"),
            changed + ansi(LETTERS.taken) + " 4464 4464 newhost WINDOWS 1\r\n")
      << "No still saves kiv.cnf, the name cut to its five bytes";

  // A worker's notifications return while the window thread handles no message at all.
  std::atomic<bool> sent{false};
  std::thread worker([&sent] {
    for (int i = 0; i < 100; ++i) send_notification(NOTIFY_STATUS_CHANGED);
    send_notification(NOTIFY_THREAD_CLOSED);
    sent = true;
  });
  for (int i = 0; i < 2000 && !sent; ++i) Sleep(10);
  EXPECT_TRUE(sent) << "a worker waited for the window thread";
  pump_until([&sent] { return sent.load(); });  // lets a worker that waits go
  worker.join();

  // The session ends: the log is written when Windows asks, and again as the agent stops.
  folder->write("kiv.log", "");
  EXPECT_TRUE(SendMessageA(status_window(), WM_QUERYENDSESSION, 0, 0)) << "the session was held";
  EXPECT_NE(folder->read("kiv.log").find("KIV Started"), std::string::npos) << "not written";
  log_event("after the question");
  SendMessageA(status_window(), WM_ENDSESSION, TRUE, 0);
  EXPECT_NE(folder->read("kiv.log").find("after the question"), std::string::npos);
  EXPECT_EQ(status_window(), nullptr) << "the agent went on after the session ended";
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  std::_Exit(RUN_ALL_TESTS());  // the agent's threads still run: nothing is torn down
}

// kiv-agent as a real process, on Qt's offscreen platform or a display of the test's own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

/// A virtual X display of the test's own (Xvfb), which the test can end as a desktop session
/// ends.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int ready[2];
    if (pipe(ready) != 0) return;
    const std::string ready_fd = std::to_string(ready[1]);
    pid_ = fork();
    if (pid_ == 0) {
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
      execlp("Xvfb", "Xvfb", "-displayfd", ready_fd.c_str(), "-nolisten", "tcp", "-screen", "0",
             "640x480x24", nullptr);
      _exit(127);
    }
    close(ready[1]);
    // Once ready, Xvfb writes the number of the display it took; one that ended writes nothing.
    char number[16] = "";
    if (read(ready[0], number, sizeof number - 1) > 0) name_ = ":" + std::to_string(atoi(number));
    close(ready[0]);
  }
  ~VirtualDisplay() { end(); }
  /// ":N", or "" if the display did not start.
  const std::string& name() const { return name_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// The session ends with a client being relayed: Qt ends the process, and the lines held in
// memory still reach kiv.log. Qt takes the user's locale; Turkish has other day names and
// upper-cases quit as QUİT.
TEST(KivAgent, WritesItsLogWhenItsDisplayEndsAndSpeaksEnglishInATurkishLocale) {
  VirtualDisplay display;
  ASSERT_NE(display.name(), "") << "Xvfb did not start";
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  ASSERT_EQ(system(("localedef -i tr_TR -f UTF-8 " + folder.file("tr_TR.UTF-8")).c_str()), 0);
  uint16_t port = free_port(), control = free_port();
  folder.write("kiv.cnf", config_line("ECHO", port, remote.port()) +
                              config_line("KIV", control, control, "0.0.0.0"));
  folder.write("kiv.log", "");
  AgentProcess agent(folder, {"env", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                              "LOCPATH=.", "LC_ALL=tr_TR.UTF-8", KIV_AGENT_PATH});
  int client = connect_loopback(port, 60000);  // Qt's start on a busy machine can take a while
  ASSERT_TRUE(send_bytes(client, "ping") && receive(client, 4) == "ping")
      << "the agent did not start relaying on " << display.name();
  EXPECT_EQ(round_trip(control, "quit\r\n"), "KIV Agent v1.4b\nKIV QUIT.\n");
  display.end();
  EXPECT_NE(agent.wait_exit(20000), -1) << "the agent outlived its display";
  const std::string log = folder.read("kiv.log");
  EXPECT_NE(log.find("ECHO Connected"), std::string::npos) << "the held lines were lost: " << log;
  const std::string last_line = log.substr(log.rfind('\n', log.size() - 2) + 1);
  std::regex english("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)");
  EXPECT_TRUE(std::regex_match(last_line.substr(0, 7), english))
      << "stamped in Turkish: " << last_line;
  close(client);
}

// A stop request (SIGTERM, like its Close command) ends it even while a warning box waits.
TEST(KivAgent, ClosesWhileAStartUpWarningIsShowing) {
  TempFolder folder;
  folder.write("kiv.cnf", "BAD x\n");
  AgentProcess agent(folder, KIV_AGENT_PATH);
  // Its first thread waits for stop requests: a SIGTERM before they are blocked would kill it.
  ASSERT_TRUE(eventually([&agent] { return thread_total(agent.pid()) > 1; }));
  EXPECT_EQ(agent.stop(), 0) << "the warning box held the agent up";
}

// Without a display, kiv-agent names kiv-agentd, the same agent without a window.
TEST(KivAgent, WithoutADisplaySaysToRunKivAgentd) {
  const std::string advice =
      "on a machine without one, run kiv-agentd, the same agent without a window.";
  TempFolder folder;
  AgentProcess agent(folder, {"env", "-u", "QT_QPA_PLATFORM", "-u", "DISPLAY", "-u",
                              "WAYLAND_DISPLAY", KIV_AGENT_PATH});
  EXPECT_EQ(agent.wait_exit(20000), EXIT_FAILURE);
  EXPECT_TRUE(eventually([&agent, &advice] {
    std::vector<std::string> lines = agent.lines();
    return !lines.empty() && lines.back() == advice;
  })) << advice;
}

}  // namespace
}  // namespace kiv_test

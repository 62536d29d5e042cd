// kiv-agent as a real process on Qt's offscreen platform.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

/// A virtual X display of the test's own (Xvfb), which the test can stop as
/// a hung remote display or a stuck VNC server stops.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    // A display number no other X server holds: its lock file is the X servers' own claim.
    int number = 100 + getpid() % 400;
    while (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) ++number;
    const std::string name = ":" + std::to_string(number);
    pid_ = fork();
    if (pid_ == 0) {
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
      execlp("Xvfb", "Xvfb", name.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
             "640x480x24", nullptr);
      _exit(127);
    }
    // Ready once its socket is there; a server that ended (the number was taken after all)
    // leaves the name empty.
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    bool ended = false;
    eventually([&] {
      ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
      return ended || access(socket.c_str(), F_OK) == 0;
    });
    if (ended) {
      pid_ = -1;
    } else {
      name_ = name;
    }
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);  // a stopped server ends too
    waitpid(pid_, nullptr, 0);
  }
  /// ":N", or "" if the display did not start.
  const std::string& name() const { return name_; }
  void stop() { kill(pid_, SIGSTOP); }
  /// Ends the server, as the end of a desktop session does.
  void end() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void resume() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// The status window's display stops answering: relays go on, and once it answers again the
// agent closes as asked.
TEST(KivAgent, RelaysWhileItsDisplayIsStoppedAndClosesOnceItIsBack) {
  VirtualDisplay display;
  ASSERT_NE(display.name(), "") << "Xvfb did not start";
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("ECHO", port, remote.port()));
  AgentProcess agent(folder, {"env", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                              KIV_AGENT_PATH});
  // Qt's start on a busy machine can take a while.
  ASSERT_TRUE(eventually([port] { return echoes(port); }, 60000))
      << "the agent did not start relaying on " << display.name() << ": "
      << (agent.lines().empty() ? "" : agent.lines().back());
  display.stop();
  int echoed = 0;
  while (echoed < 200 && echoes(port)) ++echoed;
  EXPECT_EQ(echoed, 200) << "a relay waited for the stopped display";
  display.resume();
  EXPECT_EQ(agent.stop(), 0) << "the agent did not close once its display was back";
}

// The session ends with a client being relayed: Qt ends the process, and the lines held in
// memory still reach kiv.log.
TEST(KivAgent, WritesItsLogWhenItsDisplayEnds) {
  VirtualDisplay display;
  ASSERT_NE(display.name(), "") << "Xvfb did not start";
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("ECHO", port, remote.port()));
  folder.write("kiv.log", "");
  AgentProcess agent(folder, {"env", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                              KIV_AGENT_PATH});
  int client = connect_loopback(port, 60000);
  ASSERT_GE(client, 0) << "the agent did not start listening";
  ASSERT_TRUE(send_bytes(client, "ping") && receive(client, 4) == "ping");
  display.end();
  EXPECT_NE(agent.wait_exit(20000), -1) << "the agent outlived its display";
  EXPECT_NE(folder.read("kiv.log").find("ECHO Connected"), std::string::npos)
      << "the held lines were lost: " << folder.read("kiv.log");
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

// Qt takes the user's locale; Turkish has other day names and dotted i's.
TEST(KivAgent, LogStampsAndCommandsStayTheSameInATurkishLocale) {
  TempFolder folder;
  ASSERT_EQ(system(("localedef -i tr_TR -f UTF-8 " + folder.file("tr_TR.UTF-8")).c_str()), 0);
  folder.write("kiv.log", "");
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
  AgentProcess agent(folder, {"env", "LOCPATH=.", "LC_ALL=tr_TR.UTF-8", KIV_AGENT_PATH});
  EXPECT_EQ(round_trip(port, "quit\r\n"), "KIV Agent v1.4b\nKIV QUIT.\n")
      << "Turkish upper-cases quit as QUİT";
  EXPECT_EQ(agent.stop(), 0) << "a stop writes the log";
  std::regex stamped("((Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [^\n]*\n){3,}");
  EXPECT_TRUE(std::regex_match(folder.read("kiv.log"), stamped))
      << "a line stamped in Turkish: " << folder.read("kiv.log");
}

// Installed as the package installs it, the menu entry's kiv-agent --user-folder makes the
// operator's folder with the example kiv.cnf and serves from it.
TEST(KivAgent, UserFolderIsMadeWithTheExampleAndServedFrom) {
  TempFolder folder;
  std::filesystem::create_directories(folder.file("usr/bin"));
  std::filesystem::create_directories(folder.file("usr/share/kiv-agent"));
  std::filesystem::copy_file(KIV_AGENT_PATH, folder.file("usr/bin/kiv-agent"));
  uint16_t port = free_port();
  const std::string example = config_line("KIV", port, port, "0.0.0.0");
  folder.write("usr/share/kiv-agent/kiv.cnf", example);
  AgentProcess agent(folder, {"env", "XDG_CONFIG_HOME=" + folder.file("config"),
                              folder.file("usr/bin/kiv-agent"), "--user-folder"});
  EXPECT_EQ(round_trip(port, "quit\r\n"), "KIV Agent v1.4b\nKIV QUIT.\n");
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_EQ(folder.read("config/kiv-agent/kiv.cnf"), example);
}

TEST(KivAgent, AnUnknownArgumentGetsTheUsageLine) {
  TempFolder folder;
  for (const char* wrong : {"--user-folder=x", "-h"}) {
    AgentProcess agent(folder, {KIV_AGENT_PATH, "--user-folder", wrong});
    EXPECT_EQ(agent.wait_exit(20000), 2) << wrong;
    EXPECT_TRUE(eventually([&agent] { return agent.lines().size() == 1; }));
    EXPECT_EQ(agent.lines(), std::vector<std::string>{"usage: kiv-agent [--user-folder]"});
  }
}

TEST(KivAgent, WithoutADisplaySaysSoAndNamesKivAgentd) {
  TempFolder folder;
  AgentProcess agent(folder, {"env", "-u", "QT_QPA_PLATFORM", "-u", "DISPLAY", "-u",
                              "WAYLAND_DISPLAY", KIV_AGENT_PATH});
  EXPECT_EQ(agent.wait_exit(20000), EXIT_FAILURE) << "it started without a display";
  EXPECT_TRUE(eventually([&agent] {
    std::vector<std::string> lines = agent.lines();
    return !lines.empty() && lines.back().find("run kiv-agentd") != std::string::npos;
  })) << "the last line names kiv-agentd";
}

}  // namespace
}  // namespace kiv_test

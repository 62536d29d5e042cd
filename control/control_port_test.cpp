#include "control/control_port.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

ControlCommand judge(const std::string& segment) {
  return judge_command(reinterpret_cast<const uint8_t*>(segment.data()), segment.size());
}

TEST(JudgeCommand, PrefixesDecideInTheirOrderWhateverTheCase) {
  for (const char* reset : {"RESET", "restart\r\n", "res", "RESUME", "Res"}) {
    EXPECT_EQ(judge(reset), ControlCommand::Reset) << reset;
  }
  for (const char* help : {"help\r\n", "HELP", "help me", "HeLp\r\nQUIT\r\n"}) {
    EXPECT_EQ(judge(help), ControlCommand::Help) << help;
  }
  EXPECT_EQ(judge("quit"), ControlCommand::Quit);
  EXPECT_EQ(judge("QUITTING"), ControlCommand::Quit);
}

TEST(JudgeCommand, ListedButUnbuiltAndShortCommandsAreUnknown) {
  for (const char* unknown : {"shut", "stat", "RE", "HEL", "", " help", "\r\n", "QUI"}) {
    EXPECT_EQ(judge(unknown), ControlCommand::Unknown) << unknown;
  }
}

TEST(JudgeCommand, NulEndsTheTextAndHighBytesStayUnchanged) {
  EXPECT_EQ(judge(std::string("RE\0S", 4)), ControlCommand::Unknown);
  EXPECT_EQ(judge(std::string("HELP\0", 5)), ControlCommand::Help);
  EXPECT_EQ(judge("\xE8help"), ControlCommand::Unknown);
}

}  // namespace
}  // namespace kiv

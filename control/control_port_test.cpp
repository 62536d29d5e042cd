#include "control/control_port.h"

#include <gtest/gtest.h>

#include "core/lifecycle.h"
#include "core/service_table.h"

using namespace kiv;

namespace {

enum class Expected { Reset, Help, Quit, Unknown };

struct CommandCase {
  std::string segment;
  Expected answer;
};

// Letters in any case, judged by their prefix; Shut and Stat, though the help
// lists them, are unknown.
const CommandCase COMMAND_CASES[] = {
    {"res", Expected::Reset},
    {"ReSuMe", Expected::Reset},
    {"help me", Expected::Help},
    {"Quit\r\n", Expected::Quit},
    {std::string("QUIT\0x", 6), Expected::Quit},
    {"shut\r\n", Expected::Unknown},
    {"STAT", Expected::Unknown},
    {"RE", Expected::Unknown},
    {"HEL", Expected::Unknown},
    {" HELP", Expected::Unknown},
    {std::string("HE\0LP", 5), Expected::Unknown},
};

std::string reply_of(Expected answer) {
  switch (answer) {
    case Expected::Reset:
      return RESET_REPLY;
    case Expected::Help:
      return HELP_REPLY;
    case Expected::Quit:
      return QUIT_REPLY;
    case Expected::Unknown:
      break;
  }
  return UNKNOWN_REPLY;
}

CommandAnswer answer_segment(ServiceRecord& row, const std::string& segment) {
  return answer_command(row, reinterpret_cast<const uint8_t*>(segment.data()), segment.size());
}

}  // namespace

TEST(ControlCommands, EachSegmentGetsTheReplyOfItsPrefix) {
  for (const CommandCase& command : COMMAND_CASES) {
    ServiceRecord row;
    CommandAnswer answer = answer_segment(row, command.segment);
    EXPECT_EQ(std::string(answer.reply, answer.reply_size), reply_of(command.answer))
        << command.segment;
  }
}

TEST(ControlCommands, OnlyResetAndQuitCloseTheConnection) {
  for (const CommandCase& command : COMMAND_CASES) {
    ServiceRecord row;
    bool closes = command.answer == Expected::Reset || command.answer == Expected::Quit;
    EXPECT_EQ(answer_segment(row, command.segment).closes, closes) << command.segment;
  }
}

TEST(ControlCommands, OnlyResetRequestsAReset) {
  for (const CommandCase& command : COMMAND_CASES) {
    ServiceRecord row;
    reset_pending = false;
    answer_segment(row, command.segment);
    EXPECT_EQ(reset_pending.load(), command.answer == Expected::Reset) << command.segment;
  }
  reset_pending = false;
}

TEST(ControlCommands, CountersGrowByWhatCameAndWhatWasReplied) {
  for (const CommandCase& command : COMMAND_CASES) {
    ServiceRecord row;
    answer_segment(row, command.segment);
    EXPECT_EQ(row.bytes_read, command.segment.size()) << command.segment;
    EXPECT_EQ(row.bytes_written, reply_of(command.answer).size()) << command.segment;
    EXPECT_EQ(row.errors_o, command.answer == Expected::Unknown ? 1u : 0u)
        << "an unknown command is an error of the port: " << command.segment;
  }
  reset_pending = false;
}

#include "control/control_port.h"

#include <gtest/gtest.h>

#include "core/engine_counters.h"
#include "core/service_table.h"

using namespace kiv;

namespace {

struct CommandCase {
  std::string segment;
  std::string reply;
};

// Letters in any case, judged by their prefix; Shut and Stat, though the help
// lists them, are unknown.
const CommandCase COMMAND_CASES[] = {
    {"res", RESET_REPLY},
    {"ReSuMe", RESET_REPLY},
    {"help me", HELP_REPLY},
    {"Quit\r\n", QUIT_REPLY},
    {std::string("QUIT\0x", 6), QUIT_REPLY},
    {"shut\r\n", UNKNOWN_REPLY},
    {"STAT", UNKNOWN_REPLY},
    {"RE", UNKNOWN_REPLY},
    {"HEL", UNKNOWN_REPLY},
    {" HELP", UNKNOWN_REPLY},
    {std::string("HE\0LP", 5), UNKNOWN_REPLY},
};

CommandAnswer answer_segment(ServiceRecord& row, const std::string& segment) {
  return answer_command(row, reinterpret_cast<const uint8_t*>(segment.data()), segment.size());
}

}  // namespace

// One table of segments: each gets its reply, closes, resets and counts as its prefix says.
TEST(ControlCommands, EachSegmentIsAnsweredCountedAndActedOnByItsPrefix) {
  for (const CommandCase& command : COMMAND_CASES) {
    ServiceRecord row;
    reset_pending = false;
    CommandAnswer answer = answer_segment(row, command.segment);
    EXPECT_EQ(std::string(answer.reply, answer.reply_size), command.reply) << command.segment;
    bool closes = command.reply == RESET_REPLY || command.reply == QUIT_REPLY;
    EXPECT_EQ(answer.closes, closes) << "only Reset and Quit close: " << command.segment;
    EXPECT_EQ(reset_pending.load(), command.reply == RESET_REPLY)
        << "only Reset requests a reset: " << command.segment;
    EXPECT_EQ(row.bytes_read, command.segment.size()) << command.segment;
    EXPECT_EQ(row.bytes_written, command.reply.size()) << command.segment;
    EXPECT_EQ(row.errors_o, command.reply == UNKNOWN_REPLY ? 1u : 0u)
        << "an unknown command is an error of the port: " << command.segment;
  }
  reset_pending = false;  // as the other tests of this process expect it
}

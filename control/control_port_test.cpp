#include "control/control_port.h"

#include <gtest/gtest.h>

#include "core/engine_counters.h"
#include "core/service_table.h"

using namespace kiv;

// Letters in any case; Shut and Stat, though listed, are unknown. Counters grow by what came and went.
TEST(ControlCommands, EachSegmentIsJudgedByItsPrefix) {
  const std::string reset = RESET_REPLY, help = HELP_REPLY, quit = QUIT_REPLY, unknown = UNKNOWN_REPLY;
  const std::pair<std::string, const std::string&> cases[] = {
      {"res", reset}, {"ReSuMe", reset}, {"help me", help}, {"Quit\r\n", quit}, {"shut\r\n", unknown}, {"STAT", unknown},
      {"RE", unknown}, {"HEL", unknown}, {" HELP", unknown}, {std::string("HE\0LP", 5), unknown}, {std::string("QUIT\0x", 6), quit}};
  for (const auto& [segment, reply] : cases) {
    ServiceRecord row;
    reset_pending = false;
    CommandAnswer answer = answer_command(row, reinterpret_cast<const uint8_t*>(segment.data()), segment.size());
    EXPECT_EQ(std::string(answer.reply, answer.reply_size), reply) << segment;
    EXPECT_EQ(answer.closes + 10 * reset_pending, (&reply == &reset) * 11 + (&reply == &quit)) << segment;  // closes, resets
    EXPECT_EQ(row.bytes_read + 1000 * row.bytes_written + 1000000 * row.errors_o,
              segment.size() + 1000 * reply.size() + 1000000 * (&reply == &unknown)) << segment;
  }
}

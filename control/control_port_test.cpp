#include "control/control_port.h"

#include <gtest/gtest.h>

#include <string>

#include "core/lifecycle.h"
#include "core/service_table.h"

namespace kiv {
namespace {

// Each segment is judged alone, by its prefix, letters in any case; the
// counters grow by what was received and answered.
TEST(ControlCommands, EachSegmentIsJudgedByItsPrefix) {
  const std::string reset = RESET_REPLY, help = HELP_REPLY, quit = QUIT_REPLY, unknown = UNKNOWN_REPLY;
  const struct {
    std::string segment;
    const std::string& reply;
  } cases[] = {
      {"RESET\r\n", reset},  {"restart", reset},    {"res", reset},        {"ReSuMe", reset},
      {"help\r\n", help},    {"help me", help},     {"HELP\r\nQUIT\r\n", help},
      {"quit", quit},        {"Quit\r\n", quit},    {"shut\r\n", unknown}, {"STAT", unknown},
      {"RE", unknown},       {"HEL", unknown},      {" HELP", unknown},    {std::string("HE\0LP", 5), unknown},
      {std::string("QUIT\0x", 6), quit},            {std::string(80, 'x'), unknown},
  };
  for (const auto& c : cases) {
    ServiceRecord row;
    reset_pending = false;
    CommandAnswer answer =
        answer_command(row, reinterpret_cast<const uint8_t*>(c.segment.data()), c.segment.size());
    EXPECT_EQ(std::string(answer.reply, answer.reply_size), c.reply) << c.segment;
    EXPECT_EQ(answer.closes, &c.reply == &reset || &c.reply == &quit) << c.segment;
    EXPECT_EQ(reset_pending.load(), &c.reply == &reset) << c.segment;
    EXPECT_EQ(row.bytes_read, c.segment.size());
    EXPECT_EQ(row.bytes_written, c.reply.size());
    EXPECT_EQ(row.errors_o, &c.reply == &unknown ? 1u : 0u) << c.segment;
    EXPECT_EQ(row.errors_t + row.errors_c + row.connections, 0u);
  }
  reset_pending = false;
}

}  // namespace
}  // namespace kiv

// Any session of command segments of 1 to 80 bytes on the control port:
// every segment is answered with one of the control port's replies, as its
// prefix decides, and the row's counters add up to what was received and sent.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "control/control_port.h"
#include "core/lifecycle.h"
#include "core/service_table.h"
#include "fuzz/fuzz_folder.h"

namespace {

void check(bool holds) {
  if (!holds) abort();
}

// The command the segment's prefix names: letters in upper case, compared
// up to a NUL byte.
kiv::ControlCommand expected_command(const uint8_t* segment, size_t size) {
  char text[kiv::COMMAND_SIZE + 1] = {};
  for (size_t i = 0; i < size && segment[i] != 0; ++i) {
    text[i] = static_cast<char>(segment[i] < 128 ? toupper(segment[i]) : segment[i]);
  }
  if (strncmp(text, "RES", 3) == 0) return kiv::ControlCommand::Reset;
  if (strncmp(text, "HELP", 4) == 0) return kiv::ControlCommand::Help;
  if (strncmp(text, "QUIT", 4) == 0) return kiv::ControlCommand::Quit;
  return kiv::ControlCommand::Unknown;
}

const char* expected_reply(kiv::ControlCommand command) {
  switch (command) {
    case kiv::ControlCommand::Reset:
      return kiv::RESET_REPLY;
    case kiv::ControlCommand::Help:
      return kiv::HELP_REPLY;
    case kiv::ControlCommand::Quit:
      return kiv::QUIT_REPLY;
    case kiv::ControlCommand::Unknown:
      break;
  }
  return kiv::UNKNOWN_REPLY;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv_fuzz::enter_fuzz_folder();
  return 0;
}

// The input is a session: each segment is one length byte (taken as 1 to
// 80) followed by that many bytes of the segment, as far as the input goes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kiv::ServiceRecord row;
  kiv::reset_pending = false;
  uint32_t received = 0;
  uint32_t sent = 0;
  uint32_t unknown = 0;
  bool reset_ordered = false;
  size_t next = 0;
  while (next < size) {
    size_t length = data[next++] % kiv::COMMAND_SIZE + 1;
    if (length > size - next) length = size - next;
    if (length == 0) break;
    // The segment in a block of its own: a read past its end is caught.
    auto* segment = static_cast<uint8_t*>(malloc(length));
    memcpy(segment, data + next, length);
    next += length;

    kiv::CommandAnswer answer = kiv::answer_command(row, segment, length);
    kiv::ControlCommand command = expected_command(segment, length);
    free(segment);
    const char* reply = expected_reply(command);
    check(answer.command == command);
    check(answer.reply_size == strlen(reply) && memcmp(answer.reply, reply, answer.reply_size) == 0);
    check(answer.closes ==
          (command == kiv::ControlCommand::Reset || command == kiv::ControlCommand::Quit));
    received += static_cast<uint32_t>(length);
    sent += static_cast<uint32_t>(answer.reply_size);
    unknown += command == kiv::ControlCommand::Unknown;
    reset_ordered = reset_ordered || command == kiv::ControlCommand::Reset;
    check(row.bytes_read == received);
    check(row.bytes_written == sent);
    check(row.errors_o == unknown);
    check(kiv::reset_pending == reset_ordered);
    check(row.errors_t == 0 && row.errors_c == 0 && row.connections == 0);
  }
  return 0;
}

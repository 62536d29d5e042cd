#pragma once
// The control port: the port of the row named "KIV" speaks a plain-text
// protocol instead of forwarding. A client gets a banner; each received
// segment is one command (help, reset, quit), judged by its prefix.

#include <cstddef>
#include <cstdint>

namespace kiv {

/// Most bytes received, and so judged, as one command.
constexpr int COMMAND_SIZE = 80;
/// A row with exactly this name is a control port.
constexpr const char* CONTROL_PORT_NAME = "KIV";

constexpr char BANNER_REPLY[] = "KIV Agent v1.4b\n";
constexpr char HELP_REPLY[] = "KIV Commands: Help, Reset, Shut, Restart, Stat, Quit.\n";
constexpr char RESET_REPLY[] = "RESET OK\n";
constexpr char QUIT_REPLY[] = "KIV QUIT.\n";
constexpr char UNKNOWN_REPLY[] = "Unknown Command\n";

enum class ControlCommand { Reset, Help, Quit, Unknown };

/// Judges one received segment (at most COMMAND_SIZE bytes): its letters are
/// taken in upper case and its start compared with "RES", "HELP" and "QUIT";
/// a NUL byte ends the text compared.
ControlCommand judge_command(const uint8_t* segment, size_t size);

struct ServiceRecord;

/// CommandAnswer is what the control port does with one received segment:
/// the reply to send and whether the connection ends after it.
struct CommandAnswer {
  ControlCommand command;
  const char* reply;
  size_t reply_size;
  bool closes;
};

/// Judges one received segment and counts it on `row`: the segment in
/// bytes_read, the reply in bytes_written, an unknown command in errors_o;
/// a reset command sets reset_pending (the caller wakes the engine).
CommandAnswer answer_command(ServiceRecord& row, const uint8_t* segment, size_t size);

class Engine;

/// Starts serving the control port of `row` (from any thread): it opens,
/// and serves one client at a time, on the engine's accepting loop.
void start_control_port(Engine& engine, ServiceRecord& row);

}  // namespace kiv

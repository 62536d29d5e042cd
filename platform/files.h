#pragma once
// The agent's files (kiv.cnf, kiv.log, table files) live in the working
// directory and are opened by their bare names.

#include <cstdio>

namespace kiv {

/// Opens a file of the working directory in text mode ("r", "w", "a+");
/// line ends are the platform's, and a CR read from a file counts as blank.
FILE* open_text_file(const char* name, const char* mode);
/// Opens a file of the working directory for reading its bytes unchanged.
FILE* open_binary_file_for_reading(const char* name);

/// Writes `line` and a line break to standard error, straight to the
/// descriptor in one write where it can, so that lines from several threads
/// never mix and each costs one system call. Never waits for a reader that
/// has fallen behind: false, and nothing written, when standard error can't
/// take the line at once.
bool write_standard_error_line(const char* line);

}  // namespace kiv

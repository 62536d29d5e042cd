#pragma once
// The agent's files (kiv.cnf, kiv.log, table files) live in the working
// directory and are opened by their bare names.

#include <cstdio>

namespace kiv {

// Only a regular file is opened. Anything else of the name (a folder, a
// FIFO, a device) is refused at once, never waited on: such a thing may
// block its opener for ever or never come to an end.

/// Creates or empties a file of the working directory and opens it for
/// writing in text mode: line ends are the platform's. Null when it can't.
FILE* open_text_file_for_writing(const char* name);
/// Opens an existing file of the working directory in text mode for
/// appending, and never creates one. Null when it can't, with `missing` set
/// when nothing of that name exists.
FILE* open_text_file_for_appending(const char* name, bool& missing);
/// Opens a file of the working directory for reading its bytes unchanged.
FILE* open_binary_file_for_reading(const char* name);
/// Whether nothing of that name exists in the working directory (a file
/// that exists but can't be opened, or a link to nothing, is not missing).
bool file_is_missing(const char* name);

/// Writes `line` and a line break to standard error, straight to the
/// descriptor in one write where it can, so that lines from several threads
/// never mix and each costs one system call. Never waits for a reader that
/// has fallen behind: false, and nothing written, when standard error can't
/// take the line at once.
bool write_standard_error_line(const char* line);

}  // namespace kiv

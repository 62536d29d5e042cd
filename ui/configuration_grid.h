#pragma once
// What the Configuration dialog does with the service table: the grid it
// shows when it opens, and the rows it makes of what the operator typed.

#include <string>

#include "core/service_table.h"

namespace kiv {

/// GridRow is one row of the Configuration dialog's grid as its controls
/// hold it: the check box and the texts of the five edits, in the front
/// end's encoding, which is also kiv.cnf's.
struct GridRow {
  bool enabled = false;
  std::string name, port, remote_port, host, table_name;
};

/// The length of the longest start of `text` that fits in `limit` bytes and
/// ends between two characters of a front end's encoding.
using WholeCharacters = size_t (*)(const std::string& text, size_t limit);
/// WholeCharacters of UTF-8, the Linux front end's encoding.
size_t whole_utf8_characters(const std::string& text, size_t limit);

/// The grid as the dialog opens: rows below service_count show their row of
/// the table (ports as unsigned decimal numbers), the others are blank.
void grid_of_table(GridRow (&grid)[MAX_SERVICES]);

/// Makes table rows of a typed grid and returns how many are taken. Texts
/// are cut to their fields (the table name one short of its field) without
/// splitting a character of `encoding`; a port is read as an unsigned decimal number and
/// kept modulo 65536, and one that is not a number or is 0 leaves the row
/// with port 0 and disabled; a remote port that is not a number or is 0
/// becomes the port; a row without a host is disabled; the first row with
/// neither name nor host ends the list. Taken rows get their row_y.
int rows_of_grid(const GridRow (&grid)[MAX_SERVICES], WholeCharacters encoding,
                 ServiceConfig (&rows)[MAX_SERVICES]);

/// The OK of the dialog before its question: the grid's rows become the
/// table, published whole, and are saved to kiv.cnf.
void use_grid(const GridRow (&grid)[MAX_SERVICES], WholeCharacters encoding);

/// Reads `text`, blanks around it aside, as decimal digits of a value below
/// 2^32 and keeps the value modulo 65536; false for any other text.
bool read_port(const std::string& text, uint16_t& port);

}  // namespace kiv

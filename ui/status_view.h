#pragma once
// What the status window shows, whatever draws it: a row of text and a lamp
// per configured service, and a title that says whether a client is connected.

#include <cstdint>

#include "core/service_table.h"

namespace kiv {

/// Outer width of the status window; its height depends on the rows.
constexpr int STATUS_WIDTH = 120;
/// Where a row's text and lamp sit, from the row's row_y, in the client area.
constexpr int ROW_TEXT_LEFT = 5;
constexpr int LAMP_LEFT = 100;
constexpr int LAMP_TOP = 4;    // below row_y
constexpr int LAMP_SIZE = 10;  // outline included

/// Rgb is a colour of the status window.
struct Rgb {
  uint8_t red, green, blue;
};
constexpr Rgb STATUS_BACKGROUND{192, 192, 192};

/// The lamp colour of a service state; false for a code that has none.
bool lamp_colour(uint16_t state, Rgb& colour);

/// "%-5s (%u)" of the row's name and port.
struct RowText {
  char text[NAME_CAPACITY + 16];
};
RowText status_row_text(const ServiceConfig& row);

/// "KIV-Connected" while any client connection is open, else "KIV".
const char* status_title();

}  // namespace kiv

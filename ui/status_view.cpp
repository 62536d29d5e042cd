#include "ui/status_view.h"

#include <cstdio>

#include "core/engine_counters.h"

namespace kiv {

bool lamp_colour(uint16_t state, Rgb& colour) {
  switch (state) {
    case SVC_READY:
      colour = Rgb{255, 255, 0};
      return true;
    case SVC_ERROR:
      colour = Rgb{255, 0, 0};
      return true;
    case SVC_ACTIVE:
      colour = Rgb{0, 255, 0};
      return true;
    case SVC_DISABLED:
      colour = Rgb{0, 0, 255};
      return true;
  }
  return false;
}

RowText status_row_text(const ServiceConfig& row) {
  RowText text;
  snprintf(text.text, sizeof text.text, "%-5s (%u)", row.name, static_cast<unsigned>(row.port));
  return text;
}

const char* status_title() { return connection_count != 0 ? "KIV-Connected" : "KIV"; }

}  // namespace kiv

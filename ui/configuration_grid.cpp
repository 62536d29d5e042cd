#include "ui/configuration_grid.h"

#include <cstdint>

#include "core/config_file.h"

namespace kiv {

namespace {

// The grid takes table names one character shorter than the field holds.
constexpr size_t TABLE_NAME_TAKEN = TABLE_NAME_CAPACITY - 1;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

size_t whole_utf8_characters(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

bool read_port(const std::string& text, uint16_t& port) {
  size_t begin = 0, end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  if (begin == end) return false;
  uint64_t value = 0;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > UINT32_MAX) return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

void grid_of_table(GridRow (&grid)[MAX_SERVICES]) {
  ServiceTable& table = service_table();
  int count = table.service_count;
  for (int i = 0; i < MAX_SERVICES; ++i) {
    grid[i] = GridRow{};
    if (i >= count) continue;
    ServiceConfig row = table.rows[i].config();
    grid[i] = GridRow{row.enabled != 0,   row.name, std::to_string(row.port),
                      std::to_string(row.remote_port), row.host, row.table_name};
  }
}

int rows_of_grid(const GridRow (&grid)[MAX_SERVICES], WholeCharacters encoding,
                 ServiceConfig (&rows)[MAX_SERVICES]) {
  auto cut_text = [encoding](const std::string& text, size_t limit) {
    return text.substr(0, encoding(text, limit));
  };
  int count = 0;
  for (int i = 0; i < MAX_SERVICES; ++i) {
    const GridRow& typed = grid[i];
    ServiceConfig& row = rows[i];
    row = ServiceConfig{};
    copy_field(row.host, cut_text(typed.host, HOST_CAPACITY).c_str());
    copy_field(row.name, cut_text(typed.name, NAME_CAPACITY).c_str());
    row.enabled = typed.enabled ? 1 : 0;
    copy_field(row.table_name, cut_text(typed.table_name, TABLE_NAME_TAKEN).c_str());
    if (!read_port(typed.port, row.port) || row.port == 0) {
      row.port = 0;
      row.enabled = 0;
    }
    if (!read_port(typed.remote_port, row.remote_port) || row.remote_port == 0) {
      row.remote_port = row.port;
    }
    bool no_name = row.name[0] == '\0';
    bool no_host = row.host[0] == '\0';
    if (no_host) row.enabled = 0;
    // The first row with neither name nor host ends the list, whatever the
    // rows below it hold.
    if (no_name && no_host) break;
    row.row_y = static_cast<int16_t>(i * ROW_SPACING);
    count = i + 1;
  }
  return count;
}

void use_grid(const GridRow (&grid)[MAX_SERVICES], WholeCharacters encoding) {
  // Read whole before anything is published: service threads read their rows
  // and the count meanwhile, and must see the old table or the new one.
  ServiceConfig rows[MAX_SERVICES];
  int count = rows_of_grid(grid, encoding, rows);
  publish_service_rows(rows, count);
  save_service_table();
}

}  // namespace kiv

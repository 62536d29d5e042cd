#pragma once
// The operator's commands on the status window's menu.

namespace kiv {

/// Command ids of the menu; each front end runs them the same way.
enum MenuCommand : int {
  CMD_ABOUT = 300,
  CMD_CONFIGURE = 301,
  CMD_RESET = 302,
  CMD_STATUS = 303,
  CMD_LOG = 304,
};

/// MenuItem is one of the agent's items, inserted in this order above the
/// window's own Close item; an item without text is a separator.
struct MenuItem {
  const char* text;
  int id;
};

constexpr MenuItem MENU_ITEMS[] = {
    {"Configure...", CMD_CONFIGURE},
    {"Status...", CMD_STATUS},
    {"Log...", CMD_LOG},
    {"Reset", CMD_RESET},
    {nullptr, 0},
    {"About KIV", CMD_ABOUT},
    {nullptr, 0},
};

}  // namespace kiv

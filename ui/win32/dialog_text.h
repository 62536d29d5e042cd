#pragma once
// Texts of dialog controls as the agent's rules take them.

#include <windows.h>

#include <string>

namespace kiv {

/// The whole text of control `id` of `dialog`, however long.
std::string dialog_text(HWND dialog, int id);

}  // namespace kiv

#pragma once
// Texts of dialog controls as the agent's rules take them.

#include <windows.h>

#include <string>

namespace kiv {

/// The whole text of control `id` of `dialog`, however long, in the
/// system's ANSI code page: kiv-agent.exe's one encoding for kiv.cnf's
/// texts, as the files of its earlier versions hold them.
std::string dialog_text(HWND dialog, int id);

/// The configuration grid's WholeCharacters of the ANSI code page, whose
/// characters take one byte or, in the double-byte code pages, two.
size_t whole_ansi_characters(const std::string& text, size_t limit);

}  // namespace kiv

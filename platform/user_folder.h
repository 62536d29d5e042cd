#pragma once
// The operator's own folder of the window agent, which holds its kiv.cnf,
// table files and kiv.log: %APPDATA%\KIV Agent on Windows,
// $XDG_CONFIG_HOME/kiv-agent (~/.config/kiv-agent) elsewhere.

#include <string>

namespace kiv {

/// Makes the operator's folder the working folder. The first time, when it
/// does not exist yet, it is made with a copy of the example kiv.cnf that
/// the program's package installs. "" when entered, else why it can't be.
std::string enter_user_folder();

}  // namespace kiv

#pragma once
// The operator's own folder of the window agent on Windows, %APPDATA%\KIV
// Agent, which holds its kiv.cnf, table files and kiv.log. (On Linux the
// desktop entry's start-kiv-agent script does the same with
// ~/.config/kiv-agent.)

namespace kiv {

/// Makes the operator's folder the working folder. The first time, when it
/// does not exist yet, it is made with a copy of the example kiv.cnf that
/// stands beside the program. False, with the reason shown in a "KIV Error"
/// box, when it can't be entered.
bool enter_user_folder();

}  // namespace kiv

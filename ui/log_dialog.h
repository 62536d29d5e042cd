#pragma once

class QWidget;

namespace kiv {

void run_log_dialog(QWidget* status_window);

}  // namespace kiv

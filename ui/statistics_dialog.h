#pragma once

class QWidget;

namespace kiv {

void run_statistics_dialog(QWidget* status_window);

}  // namespace kiv

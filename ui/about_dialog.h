#pragma once

class QWidget;

namespace kiv {

void run_about_dialog(QWidget* status_window);

}  // namespace kiv

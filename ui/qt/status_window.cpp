#include "ui/qt/status_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

#include <atomic>
#include <cstdlib>

#include "agent/lifecycle.h"
#include "core/event_log.h"
#include "core/service_table.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/configuration_dialog.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/qt_window_thread.h"
#include "ui/qt/statistics_dialog.h"

namespace kiv {

namespace {

/// Pixel size of the row font: a fixed-pitch line fits the 15-pixel rows and
/// "NAME5 (65535)" ends before the lamps.
constexpr int kRowFontPixels = 11;

std::atomic<StatusWindow*> created_window{nullptr};
std::atomic<bool> close_requested{false};

/// Qt ends the process with exit() when its connection to the X server
/// breaks, which is how a desktop session's end reaches it: the window gets
/// no close, so the log is written here, as Close writes it.
void on_process_exit() {
  if (StatusWindow* window = created_window.load()) window->shut_down_without_display();
}

/// The session's end, as a session manager announces it: the log is written
/// first, in case the session then ends the process; a quit that follows
/// shuts the agent down as Close does.
void watch_session_end(StatusWindow* window) {
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, [] { flush_event_log(); });
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [window] {
    if (!window->shut_down()) window->close();
  });
  std::atexit(on_process_exit);
}

QColor qt_colour(Rgb colour) { return QColor(colour.red, colour.green, colour.blue); }

void add_command(QMenu* menu, QAction* before, const char* text, int id) {
  auto* action = new QAction(text, menu);
  action->setData(id);
  menu->insertAction(before, action);
}

}  // namespace

StatusWindow::StatusWindow() : menu_(new QMenu(this)) {
  // A title, the window menu, minimise and close; fixed size, so no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  // paintEvent covers every pixel with the grey background itself, which
  // keeps the window's colours out of the palette its dialogs inherit.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setWindowTitle("KIV");
  move(100, 100);
  setFixedSize(STATUS_WIDTH, 10);
  menu_->addAction("Close", this, &QWidget::close);
}

void StatusWindow::add_menu_items() {
  QAction* close = menu_->actions().last();
  for (const MenuItem& item : MENU_ITEMS) {
    if (item.text == nullptr) {
      menu_->insertSeparator(close);
    } else {
      add_command(menu_, close, item.text, item.id);
    }
  }
}

void StatusWindow::fit_to_rows() {
  setFixedSize(STATUS_WIDTH, service_table().service_count * ROW_SPACING + STATUS_BOTTOM_MARGIN);
}

void StatusWindow::on_system_command(int id) {
  switch (id) {
    case CMD_ABOUT:
      run_about_dialog(this);
      break;
    case CMD_CONFIGURE: {
      int result = run_configuration_dialog(this);
      // A stop request may have closed the window while the dialog was open.
      if (!shut_down_) after_configuration(result);
      break;
    }
    case CMD_RESET:
      request_reset("Pending KIV reset...");
      break;
    case CMD_STATUS:
      run_statistics_dialog(this);
      break;
    case CMD_LOG:
      run_log_dialog(this);
      break;
  }
}

void StatusWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), qt_colour(STATUS_BACKGROUND));
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(kRowFontPixels);
  painter.setFont(font);
  int ascent = painter.fontMetrics().ascent();

  ServiceTable& table = service_table();
  int count = table.service_count;
  for (int r = 0; r < count; ++r) {
    ServiceRecord& row = table.rows[r];
    ServiceConfig config = row.config();
    painter.setPen(Qt::black);
    painter.drawText(ROW_TEXT_LEFT, config.row_y + ascent,
                     QString::fromUtf8(status_row_text(config).text));

    Rgb colour;
    if (!lamp_colour(row.state, colour)) continue;
    painter.setBrush(qt_colour(colour));
    // A one-pixel outline is drawn on the rectangle's last pixels, so a
    // 9-pixel rectangle makes a 10 x 10 lamp.
    painter.drawRect(LAMP_LEFT, config.row_y + LAMP_TOP, LAMP_SIZE - 1, LAMP_SIZE - 1);
    const char* title = status_title();
    if (windowTitle() != QLatin1String(title)) setWindowTitle(title);
  }
}

void StatusWindow::keyPressEvent(QKeyEvent* event) {
  // The Menu key is taken here, as a key of this window. The context-menu
  // event that some window systems make of it goes to the application's
  // focus widget instead, and once the menu has been worked with the
  // keyboard, that is the closed menu itself.
  if (event->key() != Qt::Key_Menu) {
    QWidget::keyPressEvent(event);
    return;
  }
  run_menu(mapToGlobal(QPoint(0, 0)));
}

void StatusWindow::contextMenuEvent(QContextMenuEvent* event) {
  // From the keyboard the menu opens at the window's top left, like a window menu.
  run_menu(event->reason() == QContextMenuEvent::Keyboard ? mapToGlobal(QPoint(0, 0))
                                                          : event->globalPos());
}

void StatusWindow::run_menu(QPoint place) {
  QAction* chosen = menu_->exec(place);
  if (chosen != nullptr && chosen->data().isValid()) on_system_command(chosen->data().toInt());
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  if (!shut_down_) {
    shut_down_ = true;
    shutdown_agent();
  }
  event->accept();
}

void StatusWindow::shut_down_without_display() {
  if (shut_down_) return;
  shut_down_ = true;
  qt_window_thread().lose_display();
  shutdown_agent();
}

StatusWindow& create_status_window() {
  QtWindowThread& window_thread = qt_window_thread();
  install_window_thread(&window_thread);
  auto* window = new StatusWindow;  // never deleted: see the class comment
  window_thread.attach(window);
  created_window.store(window);
  watch_session_end(window);
  if (close_requested.load()) close_status_window();
  start_agent();
  if (!window->shut_down()) window->show();
  return *window;
}

void close_status_window() {
  close_requested.store(true);
  if (StatusWindow* window = created_window.load()) {
    QMetaObject::invokeMethod(
        window, [window] { window->close(); }, Qt::QueuedConnection);
  }
}

}  // namespace kiv

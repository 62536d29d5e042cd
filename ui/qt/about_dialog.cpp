#include "ui/qt/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "kiv_version.h"

namespace kiv {

namespace {

struct AboutLine {
  const char* text;
  int y;
};

constexpr AboutLine kLines[] = {
    {"Microsoft Windows NT", 3}, {"or", 11},           {"Microsoft Windows 95", 18},
    {"KIV Agent", 33},           {"Version " KIV_VERSION_TEXT, 44},
};

}  // namespace

AboutDialog::AboutDialog(QWidget* status_window)
    : AgentDialog(status_window, "About KIV Agent", QPoint(22, 17), QSize(144, 107)) {
  for (const AboutLine& line : kLines) {
    auto* label = new QLabel(line.text, this);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setGeometry(units(0, line.y, 144, 8));
  }
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("1");
  ok->setDefault(true);
  ok->setGeometry(units(7, 90, 32, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void run_about_dialog(QWidget* status_window) {
  AboutDialog dialog(status_window);
  dialog.exec();
}

}  // namespace kiv

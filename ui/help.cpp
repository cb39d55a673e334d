#include "ui/help.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

void ShowHelp(int context) {
  constexpr const char* kPages = "help/tessivane.html";
  if (const std::string missing = MissingSharedData(kPages); !missing.empty()) {
    ShowInformation(QString::fromStdString(missing));
    return;
  }
  static QPointer<QDialog> window;
  if (!window) {
    window = new QDialog(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setObjectName("HelpWindow");
    window->setWindowTitle("Tessivane Help");
    window->resize(640, 560);
    auto* browser = new QTextBrowser(window);
    browser->setObjectName("HelpBrowser");
    browser->setOpenExternalLinks(false);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
  }
  // Opened from a modal dialog, the help belongs to that dialog: a window of
  // its own would be blocked by it until the dialog closed.
  QWidget* owner = QApplication::activeModalWidget();
  if (owner == window) owner = nullptr;
  if (window->parentWidget() != owner) {
    const QRect placed = window->geometry();
    window->setParent(owner, Qt::Window);
    window->setGeometry(placed);
  }
  auto* browser = window->findChild<QTextBrowser*>("HelpBrowser");
  QUrl page = QUrl::fromLocalFile(QString::fromStdString(SharedDataFolder() + kPages));
  page.setFragment(QString("ctx%1").arg(context));
  browser->setSource(page);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace tv

#include "ui/help.h"

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// The pages are built into this static library; make sure the linker keeps them.
static void InitHelpResource() { Q_INIT_RESOURCE(help); }

namespace tv {

void ShowHelp(int context) {
  InitHelpResource();
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
  QUrl page("qrc:/help/tessivane.html");
  page.setFragment(QString("ctx%1").arg(context));
  browser->setSource(page);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace tv

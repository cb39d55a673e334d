#include "ui/help.h"

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
  auto* browser = window->findChild<QTextBrowser*>("HelpBrowser");
  QUrl page("qrc:/help/tessivane.html");
  page.setFragment(QString("ctx%1").arg(context));
  browser->setSource(page);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace tv

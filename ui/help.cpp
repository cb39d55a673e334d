#include "ui/help.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

// Beside the window it was opened from, on the side with room, and whole on
// that window's screen.
void PlaceBeside(QWidget* help, const QWidget* owner) {
  const QRect room = (owner ? owner->screen() : QGuiApplication::primaryScreen())->availableGeometry();
  // Until it is first shown, a window's frame is taken to be its owner's.
  QSize frame = help->frameGeometry().size();
  if (!help->isVisible() && owner) frame = help->size() + owner->frameGeometry().size() - owner->size();
  const QSize size = frame.boundedTo(room.size());
  const QRect beside = owner ? owner->frameGeometry() : QRect(room.center(), QSize());
  QPoint at(beside.right() + 1, beside.top());
  if (at.x() + size.width() > room.right() + 1 && beside.left() - size.width() >= room.left()) {
    at.setX(beside.left() - size.width());
  }
  at.setX(std::clamp(at.x(), room.left(), room.right() + 1 - size.width()));
  at.setY(std::clamp(at.y(), room.top(), room.bottom() + 1 - size.height()));
  help->move(at);
}

}  // namespace

int HelpContextOf(const QWidget* window) {
  static const std::map<QString, int> kSections = {
      {"TPreferences", kHelpPreferences},        {"TSendFaxForm", kHelpSendFax},
      {"TPhoneBook", kHelpPhoneBook},            {"TPhoneBookEditor", kHelpPhoneBookEditor},
      {"TFaxViewer", kHelpViewPrint},            {"TCreateEditQuickFax", kHelpCoverEditor},
      {"TFaxEditor", kHelpFaxEditor},            {"TPreviewQuickFaxForms", kHelpCoverTemplates},
      {"TFindModemForm", kHelpTroubleshooting},  {"TCheckFaxClassForm", kHelpTroubleshooting},
      {"TResetModemForm", kHelpTroubleshooting},
  };
  const auto found = window ? kSections.find(window->objectName()) : kSections.end();
  return found == kSections.end() ? kHelpContents : found->second;
}

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
  if (window->parentWidget() != owner || !window->isVisible()) {
    if (window->parentWidget() != owner) window->setParent(owner, Qt::Window);
    PlaceBeside(window, owner ? owner : MainWindow());
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

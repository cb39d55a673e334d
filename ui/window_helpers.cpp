#include "ui/window_helpers.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QLayout>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <QWidget>

#include "platform/paths.h"

// The icons are built into this static library; make sure the linker keeps them.
static void InitIconResource() { Q_INIT_RESOURCE(icons); }

namespace tv {

namespace {

QWidget* mainWindow = nullptr;

// Swallows tool-tip requests while hints are off.
class HintFilter : public QObject {
 public:
  bool enabled = true;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!enabled && event->type() == QEvent::ToolTip) return true;
    return QObject::eventFilter(watched, event);
  }
};

HintFilter& Hints() {
  static HintFilter* filter = [] {
    auto* f = new HintFilter;
    qApp->installEventFilter(f);
    return f;
  }();
  return *filter;
}

QRect ScreenRect(const QWidget* form) {
  const QScreen* screen = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

int DotsPerInch(const QWidget* form) {
  const QScreen* screen = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
  return screen ? qRound(screen->logicalDotsPerInch()) : 96;
}

std::string ClassName(const QWidget* form) { return form->objectName().toStdString(); }

// Dialog buttons carry words only, whatever the desktop's theme would add.
class ProgramStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

void ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text) {
  QMessageBox box(icon, title, DisplayText(text), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

bool Ask(const QString& text, const QString& title, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(QMessageBox::Question, title, DisplayText(text), QMessageBox::Yes | QMessageBox::No,
                  QApplication::activeWindow());
  box.setDefaultButton(defaultButton);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

AppSettings& Settings() {
  static AppSettings settings;
  return settings;
}

QIcon ProgramIcon() {
  InitIconResource();
  return QIcon(":/icons/tessivane.svg");
}

QIcon ThemeIcon(const QString& name) {
  InitIconResource();
  return QIcon::fromTheme(name, QIcon(":/icons/" + name + ".svg"));
}

void ApplyProgramLook() {
  // Outside a desktop session Qt knows no icon theme; use the one the setup installs.
  if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") QIcon::setThemeName("Adwaita");
  QApplication::setWindowIcon(ProgramIcon());
  QApplication::setStyle(new ProgramStyle);
}

void SetCaption(QAction* action, const QString& caption, const QString& hint) {
  action->setText(caption);
  action->setIconText(caption);
  action->setToolTip(DisplayText(hint));
}

void LoadAppSettings() { Settings() = LoadSettings(SettingsFilePath()); }

bool SaveAppSettings() {
  try {
    SaveSettings(Settings(), SettingsFilePath());
    return true;
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
    return false;
  }
}

QString DisplayText(const QString& text) {
  QString out = text;
  out.replace("\r\n", "\n");
  out.replace('\r', '\n');
  return out;
}

bool AskYesNo(const QString& text, const QString& title) { return Ask(text, title, QMessageBox::Yes); }

bool AskYesNoDefaultNo(const QString& text, const QString& title) { return Ask(text, title, QMessageBox::No); }

void ShowInformation(const QString& text) { ShowMessage(QMessageBox::Information, "Information", text); }

void ShowWarning(const QString& text) { ShowMessage(QMessageBox::Warning, "Warning", text); }

void Beep() { QApplication::beep(); }

void SetHintsEnabled(bool on) { Hints().enabled = on; }
bool HintsEnabled() { return Hints().enabled; }

QWidget* MainWindow() { return mainWindow; }
void SetMainWindow(QWidget* window) { mainWindow = window; }

void GrowToFit(QWidget* window) {
  if (QLayout* layout = window->layout()) layout->activate();
  const int width = std::max(window->width(), window->minimumSizeHint().width());
  const int height = window->hasHeightForWidth() ? window->heightForWidth(width) : window->sizeHint().height();
  window->resize(width, std::max(window->height(), height));
}

void CenterForm(QWidget* form) {
  // A form not shown yet has no laid-out size; give it its preferred one
  // first, and never less than its texts need (a small screen at a large
  // scale would otherwise squeeze a window with wrapped text).
  if (!form->isVisible()) form->adjustSize();
  form->resize(form->size().expandedTo(form->minimumSizeHint()));
  const QSize size = form->frameGeometry().size();
  QRect over = ScreenRect(form);
  if (form != mainWindow && mainWindow && !mainWindow->isMaximized()) over = mainWindow->frameGeometry();
  // Halves rounded towards zero, as integer division does.
  form->move(over.left() + (over.width() - size.width()) / 2, over.top() + (over.height() - size.height()) / 2);
}

void RestoreFormPlacement(QWidget* form, bool designMaximized) {
  const IniFile ini(SettingsFilePath());
  const QRect screen = ScreenRect(form);
  FormPlacement p = ReadFormPlacement(ini, ClassName(form), DotsPerInch(form), designMaximized);
  p = ClampPlacementToScreen(p, screen.right() + 1, screen.bottom() + 1);
  if (p.Bottom != 0) {
    form->setGeometry(QRect(QPoint(p.Left, p.Top), QPoint(p.Right - 1, p.Bottom - 1)));
  } else {
    CenterForm(form);
  }
  if (p.Maximized) form->setWindowState(form->windowState() | Qt::WindowMaximized);
}

void SaveFormPlacement(QWidget* form) {
  const QRect normal = form->normalGeometry().isValid() ? form->normalGeometry() : form->geometry();
  FormPlacement p{normal.left(), normal.top(), normal.right() + 1, normal.bottom() + 1, form->isMaximized()};
  try {
    IniFile ini(SettingsFilePath());
    WriteFormPlacement(ini, ClassName(form), DotsPerInch(form), p);
    ini.Save();
  } catch (const IniWriteError& e) {
    ShowInformation(QString::fromStdString(e.what()));
  }
}

}  // namespace tv

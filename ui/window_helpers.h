// Operations every window of the program shares: message boxes, centring,
// window placement and the process-wide settings record.
#pragma once

#include <QString>

#include "platform/app_settings.h"

class QAction;
class QIcon;
class QWidget;

namespace tv {

// The settings record loaded at start-up; windows read and change it and
// save it whole.
AppSettings& Settings();
void LoadAppSettings();
// Saves Settings(); a failure is shown to the user (naming the file) and
// reported as false.
bool SaveAppSettings();

// Texts of the program use CR (and CR LF) as line breaks.
QString DisplayText(const QString& text);

// Yes/No question; true only for Yes.
bool AskYesNo(const QString& text, const QString& title);
// The same with No as the default button (record-changing actions).
bool AskYesNoDefaultNo(const QString& text, const QString& title);
// Information icon, one OK button, title "Information".
void ShowInformation(const QString& text);
// Warning icon, one OK button, title "Warning": something was found wrong.
void ShowWarning(const QString& text);
// The short sound for "nothing to act on".
void Beep();

// The main window is centred on the screen; any other form over the main
// window, or on the screen while the main window is maximized.
void CenterForm(QWidget* form);

// Makes a shown window tall (and wide) enough for texts that changed since it
// was laid out, wrapped texts included; it never shrinks.
void GrowToFit(QWidget* window);

// Restores the bounds kept in TV.INI under the form's class name (shifted
// onto the screen), or centres the form when none are kept.
void RestoreFormPlacement(QWidget* form, bool designMaximized = false);
void SaveFormPlacement(QWidget* form);

// Sets an action's caption and hint on its menu items and toolbar buttons
// alike (a toolbar button shows the icon text, which keeps its accelerator).
void SetCaption(QAction* action, const QString& caption, const QString& hint);

// The program's icon (windows, the About box, the tray).
QIcon ProgramIcon();
// An icon of the desktop's theme by its freedesktop name, so that it
// matches the other programs in light and dark themes; the program's own
// picture of the same name where the theme has none.
QIcon ThemeIcon(const QString& name);
// The program's look for every window: its icon, and dialog buttons that
// carry words without pictures.
void ApplyProgramLook();

// Switches the tool hints of every window on or off.
void SetHintsEnabled(bool on);
bool HintsEnabled();

// The main window once it exists (for centring dialogs over it).
QWidget* MainWindow();
void SetMainWindow(QWidget* window);

}  // namespace tv

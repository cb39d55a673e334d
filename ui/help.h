// The program's help pages, opened at the anchor of a help context.
#pragma once

class QWidget;

namespace tv {

inline constexpr int kHelpContents = 1009;
inline constexpr int kHelpFaxEditor = 1015;
inline constexpr int kHelpSendFax = 1016;
inline constexpr int kHelpPhoneBook = 1019;
inline constexpr int kHelpPhoneBookEditor = 1020;
inline constexpr int kHelpViewPrint = 1021;
inline constexpr int kHelpPreferences = 1022;
inline constexpr int kHelpCoverEditor = 1029;
inline constexpr int kHelpCoverTemplates = 1030;
inline constexpr int kHelpTroubleshooting = 1032;

// Shows the help window at the context's section.
void ShowHelp(int context);

// The help section of a window (the contents for one without a section of its own).
int HelpContextOf(const QWidget* window);

}  // namespace tv

// The main window's actions: menu items and toolbar buttons, shared by the
// files that implement the window.
#pragma once

#include <QAction>

#include "app/main_screen.h"

namespace tv {

struct TMainScreen::Actions {
  QAction* newCover;
  QAction* addCover;
  QAction* edit;
  QAction* clone;
  QAction* forward;
  QAction* remove;
  QAction* archive;
  QAction* showArchived;
  QAction* send;
  QAction* receive;
  QAction* viewPrint;
  QAction* savePdf;
  QAction* deliveryReport;
  QAction* faxToMail;
  QAction* modemReset;
  QAction* phoneBook;
  QAction* rebuildIndexes;
  QAction* preferences;
  QAction* exit;
  QAction* quit;  // Ctrl+Q, as in other desktop programs
  QAction* contents;
  QAction* about;
  QAction* troubleshooting;
  QAction* showHints;
  QAction* sortDateSent;
  QAction* sortSubject;
  QAction* sortRecipient;
  QAction* sortDateReceived;
  QAction* sortFrom;
  // Toolbar buttons whose captions differ from their menu items.
  QAction* newButton;
  QAction* addCoverButton;
  QAction* archiveButton;
  QAction* sendButton;
  QAction* receiveButton;
  QAction* viewButton;
  QAction* exitButton;
  QAction* forwardButton;
  QAction* cloneButton;
};

}  // namespace tv

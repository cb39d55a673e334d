// The main window: the outgoing and incoming fax lists, their toolbar and
// menus, and the program's start-up and shut-down steps.
#pragma once

#include <QMainWindow>
#include <QPointer>

class QAction;
class QLabel;
class QMenu;
class QStackedWidget;
class QTabBar;
class QTableView;
class QToolBar;
class QToolButton;

namespace tv {

class TMainScreen : public QMainWindow {
  Q_OBJECT

 public:
  explicit TMainScreen(QWidget* parent = nullptr);
  ~TMainScreen() override;

  enum class Tab { kOutgoing = 0, kIncoming = 1 };
  Tab CurrentTab() const;

  // Enables, disables and captions the buttons and menu items for the
  // current tab and record.
  void SetButtons();
  void SetArchiveCaptions();

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  struct Actions;

  void BuildActions();
  void BuildMenus();
  void BuildToolbar();
  void BuildPages();

  void FormCreate();
  void FormActivate();
  void FirstActivation();
  void WriteZPXPDINI();
  void TabSet1Click(int index);
  void SwitchTab();
  void mnuShowHintsClick();
  void mnuPreferencesClick();
  void mnuAboutClick();

  std::unique_ptr<Actions> actions_;
  QToolBar* toolbar_ = nullptr;
  QToolButton* sortButton_ = nullptr;
  QMenu* fileMenu_ = nullptr;
  QMenu* outgoingSortMenu_ = nullptr;
  QMenu* receivedSortMenu_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QTabBar* tabSet_ = nullptr;
  QTableView* faxGrid_ = nullptr;
  QTableView* recFaxGrid_ = nullptr;
  QLabel* statusPanel_ = nullptr;

  bool firstActivation_ = true;
  bool openPreferencesAtFirstActivation_ = false;
  bool receiveMode_ = false;
  bool faxBeingReceived_ = false;
};

}  // namespace tv

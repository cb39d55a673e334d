#include "app/main_screen.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/about.h"
#include "app/first_run.h"
#include "app/mail_queue.h"
#include "app/main_screen_actions.h"
#include "app/modem_tools.h"
#include "app/ocr_queue.h"
#include "ui/help.h"
#include "app/preferences.h"
#include "app/printer_handover.h"
#include "app/table_model.h"
#include "cover/shipped_templates.h"
#include "export/export_settings.h"
#include "export/fax_to_mail.h"
#include "line/sip_line.h"
#include "ui/window_helpers.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "store/fax_tables.h"

namespace tv {


namespace {

QAction* NewAction(QObject* parent, const QString& caption, const char* objectName, const QString& hint = {},
                   const QKeySequence& shortcut = {}) {
  auto* action = new QAction(caption, parent);
  action->setObjectName(objectName);
  if (!hint.isEmpty()) action->setToolTip(DisplayText(hint));
  if (!shortcut.isEmpty()) action->setShortcut(shortcut);
  return action;
}

// A toolbar button's action with its icon.
QAction* NewButton(QObject* parent, const QString& caption, const char* objectName, const QString& hint,
                   const char* iconName) {
  QAction* action = NewAction(parent, caption, objectName, hint);
  action->setIcon(ThemeIcon(iconName));
  action->setIconText(caption);
  return action;
}

}  // namespace

TMainScreen::TMainScreen(QWidget* parent) : QMainWindow(parent), actions_(std::make_unique<Actions>()) {
  setObjectName("TMainScreen");
  setWindowTitle("Tessivane");
  BuildActions();
  BuildMenus();
  BuildToolbar();
  BuildPages();
  ocrQueue_ = new OcrQueue(this);
  mailQueue_ = new MailQueue(this);
  connect(ocrQueue_, &OcrQueue::Done, this, [this](const QString& fax) { mailQueue_->Add(fax.toStdString()); });
  connect(mailQueue_, &MailQueue::Tried, this,
          [this] { RunRecordAction([this] { RefreshGrid(Tab::kIncoming, SelectedRecNo(Tab::kIncoming)); }); });
  FormCreate();
  SetUpOutsideFaxes();
  qApp->installEventFilter(this);
  // Every switch back to the program takes in what the printer driver left.
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) FormActivate();
  });
  setMinimumSize(sizeHint().boundedTo(QSize(720, 420)));
  // On a first start, wide enough for every outgoing column (later starts
  // restore the placement the user left).
  const QRect available = screen()->availableGeometry();
  resize(std::min(std::max(FullWidth(faxGrid_) + 4, 900), available.width()), std::min(620, available.height()));
}

TMainScreen::~TMainScreen() = default;

void TMainScreen::FormCreate() {
  firstActivation_ = true;
  archiveFilter_ = kArchiveFilter;
  xbaseEnv_.SetDeleted(true);
  if (!OpenTables()) {
    // Closed through the event queue, once the window exists.
    QTimer::singleShot(0, this, &QWidget::close);
  }
  LoadAppSettings();
  if (Settings().ComPort == -1) openPreferencesAtFirstActivation_ = true;
  receiveMode_ = false;
  faxBeingReceived_ = false;
  actions_->showHints->setChecked(Settings().HintsOn);
  SetHintsEnabled(Settings().HintsOn);
  MakeWorkFolders();
  InstallCoverTemplates(CoversFolder());
  SetUpReceiver();
}

void TMainScreen::SetUpReceiver() {
  qaComPort1_.SetComNumber(1);
  qaComPort1_.SetAutoOpen(false);
  qaReceiveFax1_.SetStationID("QA RcvFax");
  qaReceiveFax1_.SetFaxFileExt("APF");
  qaReceiveFax1_.SetConstantStatus(true);
  qaReceiveFax1_.SetComPort(&qaComPort1_);  // also gives the port its fax defaults
  qaComPort1_.SetInSize(8192);
  qaComPort1_.SetOutSize(8192);
  qaComPort1_.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  qaComPort1_.SetBufferFull(7372);
  qaComPort1_.SetBufferResume(819);
  qaReceiveFax1_.SetDestinationDir(FindNoCase(ProgramFolder(), "receive"));
  qaReceiveFax1_.SetReceiveNameMode(1);
  qaComPort1_.SetTraceName(ProgramFolder() + "TVRECV.TRC");
  qaComPort1_.SetLogName(ProgramFolder() + "TVRECV.LOG");
  // Beyond the window's own messages: every call is kept in the fax history.
  faxHistory_.SetFaxHistoryName(ProgramFolder() + "TVFAX.HIS");
  faxHistory_.SetLineMedium(SipLineMedium);
  qaReceiveFax1_.SetFaxLog(&faxHistory_);
  HookUpReceiver();
}

// A table or index found damaged (not merely left by a program that stopped
// in the middle of a change) is repaired before the window uses it: copies
// of the damaged files are kept first, and the user is told what was found.
void TMainScreen::RepairDamagedTable(const FaxTableLayout& layout) {
  const std::string folder = ProgramFolder();
  TableCheck check;
  try {
    check = CheckFaxTable(layout, folder);
  } catch (const XbaseError&) {
    return;  // what cannot be read at all, opening reports
  }
  if (check.fault.empty() || check.onlyStale) return;
  const QString table = QString::fromStdString(layout.fileName);
  const QString found = QString::fromLocal8Bit(check.fault.c_str());
  try {
    RepairFaxTable(layout, folder);
  } catch (const XbaseError& e) {
    ShowWarning(table + " is damaged and could not be repaired:\r" + found + "\r\r" + QString::fromLocal8Bit(e.what()));
    return;
  }
  ShowWarning(table + " was found damaged:\r" + found +
                  "\r\rA copy of the damaged files was kept beside it (named " + table +
                  ".damaged- and the date and time), then the table was repaired: every whole record was kept and "
                  "its index was built again.");
}

bool TMainScreen::OpenTables() {
  const std::string folder = ProgramFolder();
  for (const FaxTableLayout* layout : {&OutgoingTableLayout(), &ReceivedTableLayout(), &PhoneTableLayout()}) {
    RepairDamagedTable(*layout);
  }
  // The reason (a file that is not a regular file, a damaged index) follows
  // the message, naming the file.
  std::string problem;
  auto refuse = [&](const char* message) {
    ShowInformation(QString(message) + (problem.empty() ? QString() : "\r\r" + QString::fromLocal8Bit(problem.c_str())));
    return false;
  };
  if (!OpenOutgoingTable(faxXbase_, folder, &problem)) return refuse("Unable to open/create the FAX datafile - closing program");
  faxXbase_.SystemProperty(1009, 0);
  faxXbase_.SelectOrder(faxXbase_.TagOrder("DATESENT"));
  problem.clear();
  if (!OpenRecFaxDBF(recXbase_, folder, &problem))
    return refuse("Unable to open/create the FAX RECEIVE datafile - closing program");
  faxXbase_.SetQuery(archiveFilter_);
  recXbase_.SetQuery(archiveFilter_);
  recXbase_.SelectOrder(recXbase_.TagOrder("DATETIME"));
  // The phone book is opened when it is used; make sure it exists with its tag.
  if (OpenPhoneTable(phoneXbase_, folder, false)) phoneXbase_.Close();
  faxModel_ = new TableModel(faxXbase_, OutgoingColumns(), this);
  std::vector<TableModel::Column> received = VisibleColumns(ReceivedTableLayout());
  // Where each fax's mail stands, once faxes are mailed.
  if (LoadMailSettings(SettingsFilePath()).On()) {
    received.push_back({"", "Mail", 30, Qt::AlignLeft | Qt::AlignVCenter, [](TXbase& table) {
                          const auto file = table.Field("FAXFILE");
                          const auto* name = file ? std::get_if<std::string>(&*file) : nullptr;
                          const auto path = name ? FaxFilePath(ReceiveFolder(), FromTableText(*name)) : std::nullopt;
                          if (!path || path->empty()) return QString();
                          return QString::fromStdString(FaxMailStateText(LoadFaxMailState(*path)));
                        }});
  }
  recModel_ = new TableModel(recXbase_, received, this);
  faxGrid_->setModel(faxModel_);
  recFaxGrid_->setModel(recModel_);
  for (auto [grid, tab] : {std::pair{faxGrid_, Tab::kOutgoing}, std::pair{recFaxGrid_, Tab::kIncoming}}) {
    SizeColumns(grid, *static_cast<TableModel*>(grid->model()));
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this, tab] { RunRecordAction([&] { OnCurrentRowChanged(tab); }); });
    connect(grid, &QTableView::doubleClicked, this, [this] {
      if (actions_->edit->isEnabled()) RunRecordAction([this] { EditButtonClick(); });
    });
  }
  RefreshGrid(Tab::kOutgoing);
  RefreshGrid(Tab::kIncoming);
  return true;
}

void TMainScreen::BuildActions() {
  Actions& a = *actions_;
  a.newCover = NewAction(this, "&New Cover Sheet", "mnuNew", {}, QKeySequence("Ctrl+N"));
  a.addCover = NewAction(this, "Add C&over Sheet", "mnuAddCover", {}, QKeySequence("Ctrl+O"));
  a.edit = NewButton(this, "&Edit", "mnuEdit", {}, "document-properties");
  a.edit->setShortcut(QKeySequence("Ctrl+E"));
  a.clone = NewAction(this, "&Clone", "mnuClone", {}, QKeySequence("Ctrl+C"));
  a.remove = NewButton(this, "&Delete", "mnuDelete", {}, "edit-delete");
  a.remove->setShortcut(QKeySequence("Ctrl+D"));
  a.archive = NewAction(this, "&Archive", "mnuArchive", {}, QKeySequence("Ctrl+A"));
  a.forward = NewAction(this, "For&ward Received Fax", "mnuForward");
  a.showArchived = NewAction(this, "S&how Archived Faxes", "mnuShowArchives");
  a.showArchived->setCheckable(true);
  a.send = NewAction(this, "&Send Fax", "mnuSend", {}, QKeySequence("Ctrl+S"));
  a.receive = NewAction(this, "&Receive Fax", "mnuReceive", {}, QKeySequence("Ctrl+R"));
  a.viewPrint = NewAction(this, "&View/Print Fax", "mnuViewPrint", {}, QKeySequence("Ctrl+V"));
  a.savePdf = NewAction(this, "Save as &PDF...", "mnuSavePdf", "Save the selected faxes as PDF documents");
  a.faxToMail = NewAction(this, "Fax to E-&mail...", "mnuFaxToMail", "Mail every received fax as a PDF");
  a.deliveryReport = NewAction(this, "Deli&very Report", "mnuDeliveryReport",
                               "Show the report of the current fax's last send");
  a.modemReset = NewAction(this, "&Modem Reset", "mnuModemReset");
  a.phoneBook = NewAction(this, "&Phone Book", "mnuPhoneBook", "Create or modify phone book entries");
  a.rebuildIndexes = NewAction(this, "Rebuild &Indexes", "mnuRebuildIndexes", "Do this every 2 weeks ");
  a.preferences = NewAction(this, "P&references", "mnuPreferences", "Set Tessivane preferences");
  a.exit = NewAction(this, "E&xit", "mnuExit", {}, QKeySequence("Ctrl+X"));
  a.quit = NewAction(this, "Quit", "Quit", {}, QKeySequence("Ctrl+Q"));
  addAction(a.quit);
  a.contents = NewAction(this, "&Contents", "mnuContents");
  a.about = NewAction(this, "&About", "mnuAbout");
  a.troubleshooting = NewAction(this, "&Troubleshooting Tips", "mnuTroubleshooting");
  a.showHints = NewAction(this, "&Show Hints", "mnuShowHints");
  a.showHints->setCheckable(true);

  a.sortDateSent = NewAction(this, "&Date Sent", "mnuDateSent");
  a.sortSubject = NewAction(this, "&Subject", "mnuSubject");
  a.sortRecipient = NewAction(this, "&Recipient", "mnuRecipient");
  a.sortDateReceived = NewAction(this, "Date Received", "mnuSortDateReceived");
  a.sortFrom = NewAction(this, "From", "mnuSortFrom");
  for (QAction* sort : {a.sortDateSent, a.sortSubject, a.sortRecipient, a.sortDateReceived, a.sortFrom}) {
    sort->setCheckable(true);
  }
  a.sortDateSent->setChecked(true);
  a.sortDateReceived->setChecked(true);

  a.newButton = NewButton(this, "&New", "NewButton",
                          "Create a new stand-alone fax cover sheet for\ra quick one page fax message", "document-new");
  a.addCoverButton = NewButton(this, "Add C&over", "AddCoverButton", "Add a fax cover sheet to the existing fax",
                               "list-add");
  a.addCoverButton->setEnabled(false);
  a.cloneButton = NewButton(this, "&Clone", "CloneButton", "Clone the currently selected fax [CTRL+C]", "edit-copy");
  a.forwardButton = NewButton(this, "For&ward", "ForwardButton",
                              "Forward the current received fax to the Outgoing Faxes tab", "mail-forward");
  a.archiveButton = NewButton(this, "&Archive", "ArchiveButton", {}, "folder");
  a.sendButton = NewButton(this, "&Send", "SendButton", "Send the currently selected fax [CTRL+S]", "mail-send");
  a.receiveButton = NewButton(this, "&Receive", "ReceiveButton", "Go into Fax Receive mode [CTRL+R]", "call-start");
  a.viewButton = NewButton(this, "&View", "ViewButton", "View or print the current fax [CTRL+V]", "document-print-preview");
  a.exitButton = NewButton(this, "E&xit", "ExitButton", "Exit the program [CTRL+X]", "application-exit");

  // A table error inside a handler reaches the user as a message instead of
  // leaving through Qt's event loop.
  auto handle = [this](QAction* action, auto handler) {
    connect(action, &QAction::triggered, this, [handler] { RunRecordAction(handler); });
  };
  for (QAction* exit : {a.exit, a.exitButton}) connect(exit, &QAction::triggered, this, &TMainScreen::mnuExitClick);
  connect(a.quit, &QAction::triggered, this, &QWidget::close);
  connect(a.contents, &QAction::triggered, this, [] { ShowHelp(kHelpContents); });
  connect(a.troubleshooting, &QAction::triggered, this, [] { ShowHelp(kHelpTroubleshooting); });
  connect(a.about, &QAction::triggered, this, &TMainScreen::mnuAboutClick);
  connect(a.showHints, &QAction::triggered, this, &TMainScreen::mnuShowHintsClick);
  handle(a.preferences, [this] { mnuPreferencesClick(); });
  handle(a.phoneBook, [this] { mnuPhoneBookClick(); });
  handle(a.rebuildIndexes, [this] { RebuildIndexes(); });
  handle(a.edit, [this] { EditButtonClick(); });
  handle(a.remove, [this] { DeleteButtonClick(); });
  for (QAction* clone : {a.clone, a.cloneButton}) handle(clone, [this] { CloneButtonClick(); });
  for (QAction* forward : {a.forward, a.forwardButton}) handle(forward, [this] { ForwardButtonClick(); });
  for (QAction* archive : {a.archive, a.archiveButton}) handle(archive, [this] { ArchivebuttonClick(); });
  handle(a.showArchived, [this] { mnuShowArchivesClick(); });
  for (QAction* view : {a.viewPrint, a.viewButton}) handle(view, [this] { mnuViewPrintClick(); });
  handle(a.savePdf, [this] { mnuSavePdfClick(); });
  handle(a.deliveryReport, [this] { mnuDeliveryReportClick(); });
  connect(a.faxToMail, &QAction::triggered, this, [this] {
    TPreferences::Edit(this, false, TPreferences::Scope::kAll, {}, TPreferences::Page::kMail);
    mailQueue_->Poke();
  });
  for (QAction* send : {a.send, a.sendButton}) handle(send, [this] { SendButtonClick(); });
  handle(a.sortDateSent, [this] { SelectOutgoingOrder("DATESENT", actions_->sortDateSent); });
  handle(a.sortSubject, [this] { SelectOutgoingOrder("SUBJECT", actions_->sortSubject); });
  handle(a.sortRecipient, [this] { SelectOutgoingOrder("RECIPIENT", actions_->sortRecipient); });
  handle(a.sortDateReceived, [this] { SelectReceivedOrder("DATETIME", actions_->sortDateReceived); });
  handle(a.sortFrom, [this] { SelectReceivedOrder("FROM", actions_->sortFrom); });
  connect(a.modemReset, &QAction::triggered, this, [this] { ShowModemResetDialog(this); });
  for (QAction* item : {a.newCover, a.newButton}) {
    connect(item, &QAction::triggered, this, &TMainScreen::NewbuttonClick);
  }
  for (QAction* item : {a.addCover, a.addCoverButton}) {
    connect(item, &QAction::triggered, this, &TMainScreen::AddCoverButtonClick);
  }
  for (QAction* receive : {a.receive, a.receiveButton}) {
    connect(receive, &QAction::triggered, this, &TMainScreen::ReceiveButtonClick);
  }
}

void TMainScreen::BuildMenus() {
  Actions& a = *actions_;
  fileMenu_ = menuBar()->addMenu("&File");
  fileMenu_->addActions({a.newCover, a.addCover, a.edit, a.clone, a.remove, a.archive, a.forward});
  fileMenu_->addSeparator();
  fileMenu_->addAction(a.showArchived);
  fileMenu_->addSeparator();
  fileMenu_->addActions({a.send, a.receive, a.viewPrint, a.savePdf, a.deliveryReport, a.modemReset});
  fileMenu_->addSeparator();
  fileMenu_->addAction(a.phoneBook);
  fileMenu_->addSeparator();
  fileMenu_->addActions({a.rebuildIndexes, a.preferences, a.faxToMail});
  fileMenu_->addSeparator();
  fileMenu_->addAction(a.exit);

  QMenu* help = menuBar()->addMenu("&Help");
  help->addActions({a.contents, a.about, a.troubleshooting});
  help->addSeparator();
  help->addAction(a.showHints);

  outgoingSortMenu_ = new QMenu(this);
  outgoingSortMenu_->addActions({a.sortDateSent, a.sortSubject, a.sortRecipient});
  receivedSortMenu_ = new QMenu(this);
  receivedSortMenu_->addActions({a.sortDateReceived, a.sortFrom});
}

void TMainScreen::BuildToolbar() {
  Actions& a = *actions_;
  toolbar_ = addToolBar("Toolbar");
  toolbar_->setObjectName("Toolbar");
  toolbar_->setMovable(false);
  toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolbar_->addActions({a.newButton, a.addCoverButton, a.edit, a.cloneButton, a.forwardButton, a.remove,
                        a.archiveButton});
  sortButton_ = new QToolButton(this);
  sortButton_->setObjectName("SortButton");
  sortButton_->setText("Sor&t");
  sortButton_->setToolTip("Change the sort order of the faxes");
  sortButton_->setPopupMode(QToolButton::InstantPopup);
  sortButton_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  sortButton_->setIcon(ThemeIcon("view-sort-ascending"));
  sortButton_->setMenu(outgoingSortMenu_);
  toolbar_->addWidget(sortButton_);
  toolbar_->addActions({a.sendButton, a.receiveButton, a.viewButton, a.exitButton});

  // "For&ward" takes the place of "&Clone" on the incoming tab; the two are never shown together.
  a.forwardButton->setVisible(false);
}

void TMainScreen::BuildPages() {
  auto makeGrid = [this](const char* name) {
    QTableView* grid = NewGrid(this, name);
    grid->horizontalHeader()->setSectionsMovable(true);
    // Several rows can be selected for "Save as PDF"; the other actions work
    // on the current row.
    grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
    return grid;
  };
  faxGrid_ = makeGrid("FaxGrid");
  recFaxGrid_ = makeGrid("RecFaxGrid");

  pages_ = new QStackedWidget(this);
  pages_->addWidget(faxGrid_);
  pages_->addWidget(recFaxGrid_);

  statusPanel_ = new QLabel(this);
  statusPanel_->setObjectName("StatusPanel");
  statusPanel_->setFrameShape(QFrame::StyledPanel);
  // A line of text high also while a status report leaves it empty.
  statusPanel_->setMinimumHeight(statusPanel_->fontMetrics().height() + 2 * statusPanel_->frameWidth() + 6);
  statusPanel_->setVisible(false);

  tabSet_ = new QTabBar(this);
  tabSet_->setObjectName("TabSet1");
  tabSet_->setShape(QTabBar::RoundedSouth);
  tabSet_->addTab("Out&going Faxes");
  tabSet_->addTab("&Incoming Faxes");
  connect(tabSet_, &QTabBar::currentChanged, this,
          [this](int index) { RunRecordAction([&] { TabSet1Click(index); }); });

  // The search box beside the tabs, where it takes no room from the toolbar.
  searchEdit_ = new QLineEdit(this);
  searchEdit_->setObjectName("SearchEdit");
  searchEdit_->setPlaceholderText("Find faxes");
  searchEdit_->setToolTip("Find the faxes whose fields or text hold these words (Enter)");
  searchEdit_->setClearButtonEnabled(true);
  searchEdit_->setMaximumWidth(searchEdit_->fontMetrics().horizontalAdvance('x') * 28);
  connect(searchEdit_, &QLineEdit::returnPressed, this,
          [this] { RunRecordAction([this] { FindFaxes(searchEdit_->text()); }); });
  auto* bottom = new QHBoxLayout;
  bottom->setContentsMargins(0, 0, 0, 0);
  bottom->addWidget(tabSet_, 1);
  bottom->addWidget(searchEdit_);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(pages_, 1);
  layout->addWidget(statusPanel_);
  layout->addLayout(bottom);
  setCentralWidget(central);
}

TMainScreen::Tab TMainScreen::CurrentTab() const { return static_cast<Tab>(tabSet_->currentIndex()); }

void TMainScreen::TabSet1Click(int index) {
  pages_->setCurrentIndex(index);
  sortButton_->setMenu(CurrentTab() == Tab::kOutgoing ? outgoingSortMenu_ : receivedSortMenu_);
  ShowUnseenCount();
  SetButtons();
}

void TMainScreen::SwitchTab() { tabSet_->setCurrentIndex(1 - tabSet_->currentIndex()); }

// The window sees drops on the outgoing list, and Ctrl+Tab (and
// Ctrl+Shift+Tab) before any of its widgets: a grid would take it to move
// between its columns.
bool TMainScreen::eventFilter(QObject* watched, QEvent* e) {
  if (DropOnOutgoingList(watched, e)) return true;
  if (e->type() == QEvent::ShortcutOverride || e->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(e);
    auto* widget = qobject_cast<QWidget*>(watched);
    // F1 opens the help of the window the key was pressed in (not in the help itself).
    if (key->key() == Qt::Key_F1 && key->modifiers() == Qt::NoModifier && widget &&
        widget->window()->objectName() != "HelpWindow") {
      if (e->type() == QEvent::KeyPress) ShowHelp(HelpContextOf(widget->window()));
      e->accept();
      return true;
    }
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) && (key->modifiers() & Qt::ControlModifier) &&
        widget && widget->window() == this) {
      if (e->type() == QEvent::KeyPress) SwitchTab();
      e->accept();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, e);
}


void TMainScreen::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
  if (e->type() == QEvent::ActivationChange || e->type() == QEvent::WindowStateChange) ShowUnseenCount();
}

void TMainScreen::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (firstActivation_) QTimer::singleShot(0, this, &TMainScreen::FormActivate);
}

void TMainScreen::FormActivate() {
  // A rebuild keeps the window alive while it works: the printer driver's
  // faxes wait until it is done, so that no table changes halfway.
  if (!faxModel_ || activating_ || rebuilding_) return;
  activating_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{activating_};
  RunRecordAction([this] {
    // A list that could not be opened again last time is tried again now.
    if (!faxXbase_.Active()) FaxTableCloseAndOpen();
    if (firstActivation_) {
      FirstActivation();
      return;
    }
    ProcessExtraPDFaxFiles();
    SetButtons();
  });
}

void TMainScreen::FirstActivation() {
  RestoreFormPlacement(this);
  std::uint32_t noted = 0;
  // A first start has a fax to send at once, and looks for a modem.
  if (openPreferencesAtFirstActivation_ && faxXbase_.RecordCount() == 0) PutSampleFax(SendFolder());
  if (ProcessExtraPDFaxFiles()) noted = SelectedRecNo(Tab::kOutgoing);
  QCoreApplication::processEvents();
  if (openPreferencesAtFirstActivation_) {
    LookForModem(this, [this](const ModemFinding& finding) {
      const QString note = ApplyModemFinding(finding);
      if (openPreferencesAtFirstActivation_) mnuPreferencesClick(note);
    });
  }
  if (noted != 0) RefreshGrid(Tab::kOutgoing, noted);
  SetButtons();
  LoadGridLayout();
  WriteZPXPDINI();
  firstActivation_ = false;
  // Answering calls from the start, when the user chose so.
  if (Settings().StartReceiving && !receiveMode_) {
    QTimer::singleShot(0, this, &TMainScreen::ReceiveButtonClick);
  }
}

void TMainScreen::WriteZPXPDINI() {
  ForceFolder(ConfigFolder());
  try {
    tv::WriteZPXPDINI(ConfigFolder() + "TVPD.INI", SendFolder(), QCoreApplication::applicationFilePath().toStdString());
  } catch (const IniWriteError&) {
    // The hand-over file only helps the printer driver find us; the program works without it.
  }
}

bool TMainScreen::FormCloseQuery() {
  // Not while receive mode ends: the receiver's last reports still come in.
  if (endingReceiveMode_) return false;
  if (faxBeingReceived_ && !endingSession_ && !AskYesNo("You are recieving a fax. Close the program?", "ALERT!")) {
    return false;
  }
  if (receiveMode_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    EndReceiveMode();
    QApplication::restoreOverrideCursor();
  }
  if (faxXbase_.Active()) SaveGridLayout();
  QCoreApplication::processEvents();
  faxXbase_.Close();
  recXbase_.Close();
  QCoreApplication::processEvents();
  return true;
}

void TMainScreen::EndSession() {
  endingSession_ = true;
  // A dialog's own event loop ends first, so that nothing runs on after the
  // window has closed its tables.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
  }
  close();
  QApplication::quit();
}

void TMainScreen::closeEvent(QCloseEvent* e) {
  if (!FormCloseQuery()) {
    e->ignore();
    return;
  }
  SaveFormPlacement(this);
  e->accept();
}

void TMainScreen::mnuExitClick() {
  // Ctrl+X is Cut too, easily pressed by mistake: while calls are answered
  // it asks first (in the middle of a call closing asks anyway).
  if (receiveMode_ && !faxBeingReceived_ &&
      !AskYesNoDefaultNo("Tessivane is answering fax calls. Stop receiving faxes and exit?", "Exit")) {
    return;
  }
  close();
}

void TMainScreen::mnuShowHintsClick() {
  Settings().HintsOn = actions_->showHints->isChecked();
  SaveAppSettings();
  SetHintsEnabled(Settings().HintsOn);
}

void TMainScreen::mnuPreferencesClick(const QString& firstRunNote) {
  const bool firstRun = openPreferencesAtFirstActivation_;
  openPreferencesAtFirstActivation_ = false;
  TPreferences::Edit(this, firstRun, TPreferences::Scope::kAll, firstRunNote);
}

void TMainScreen::mnuAboutClick() {
  TSplashform about(this);
  CenterForm(&about);
  about.exec();
}

}  // namespace tv

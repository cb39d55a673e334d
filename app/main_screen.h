// The main window: the outgoing and incoming fax lists, their toolbar and
// menus, and the program's start-up and shut-down steps.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comm/qa_port.h"
#include "export/delivery_report.h"
#include "fax/fax_components.h"
#include "store/txbase.h"
#include "view/widgets/save_pdf.h"

class QAction;
class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QTabBar;
class QTableView;
class QTimer;
class QToolBar;
class QToolButton;

namespace tv {

enum class DeleteWhat;
class MailQueue;
class OcrQueue;
class TableModel;
class TCreateEditQuickFax;
struct FaxTableLayout;
struct PrinterDriverFax;

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

  // Ends the program as Exit does, without asking anything (nobody is there
  // to answer at a logout): open dialogs are closed, receive mode ended with
  // what arrived kept, the tables closed.
  void EndSession();

  // The tables, for the dialogs that work on them.
  TXbase& FaxXbase() { return faxXbase_; }
  TXbase& RecXbase() { return recXbase_; }
  TXbase& PhoneXbase() { return phoneXbase_; }

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Actions;

  void BuildActions();
  void BuildMenus();
  void BuildToolbar();
  void BuildPages();

  void FormCreate();
  void SetUpReceiver();
  void HookUpReceiver();
  bool OpenTables();
  void RepairDamagedTable(const FaxTableLayout& layout);
  void FormActivate();
  void FirstActivation();
  void WriteZPXPDINI();
  bool FormCloseQuery();
  void TabSet1Click(int index);
  void SwitchTab();
  void mnuExitClick();
  void mnuShowHintsClick();
  void mnuPreferencesClick(const QString& firstRunNote = {});
  void mnuAboutClick();
  void mnuPhoneBookClick();
  void RebuildIndexes();

  // Grids and records.
  TXbase& CurrentTable();
  TableModel* CurrentModel();
  QTableView* CurrentGrid();
  // Record number of the grid's current row; 0 when no record is visible.
  std::uint32_t SelectedRecNo(Tab tab);
  // Record numbers of the selected rows, top down (the current row when
  // none is selected).
  std::vector<std::uint32_t> SelectedRecNos(Tab tab);
  // Makes the record current in its table; false when it is gone.
  bool GoToRecNo(TXbase& table, std::uint32_t recno);
  // Re-reads a grid and selects the record (or the first row).
  void RefreshGrid(Tab tab, std::uint32_t recno = 0);
  // Natural order while a list is empty, its date order once it has records;
  // true when the order changed.
  bool FitOrderToRows(Tab tab);
  QString FieldText(TXbase& table, const char* field);
  void OnCurrentRowChanged(Tab tab);
  void FaxDataSourceDataChange();
  void LoadGridLayout();
  void SaveGridLayout();

  // The outgoing list.
  bool ProcessExtraPDFaxFiles();
  // Empty when the record was written, else why not.
  std::string AppendPrinterDriverFax(const PrinterDriverFax& fax);
  void FaxTableCloseAndOpen();
  void EditButtonClick();
  void EditAPFFax();
  void CloneButtonClick();
  void CloneAPFFax(const std::string& body, const std::string& cover, const QString& phone,
                   const QString& recipient, const QString& subject);
  void DeleteButtonClick();
  void DeleteFromSend();
  // Several selected rows: one question, then each fax goes whole.
  void DeleteSelected(Tab tab, const std::vector<std::uint32_t>& recnos);
  // The fax of the current record, or the part of it chosen.
  void RemoveOutgoingFax(DeleteWhat what);
  void ArchivebuttonClick();
  void mnuShowArchivesClick();
  void SelectOutgoingOrder(const char* tag, QAction* item);
  void SendButtonClick();
  // The report of a send, as the settings want it (Reports/ in the program
  // folder); an earlier report of the fax goes when no new one is wanted.
  void MakeDeliveryReport(const DeliveryRecord& record, const std::string& body);
  // "Delivery report": the current outgoing fax's report in the desktop's
  // PDF viewer.
  void mnuDeliveryReportClick();
  std::optional<std::string> CurrentDeliveryReport();
  void ShowStatusPanel(const QString& text);
  void HideStatusPanel();
  // Viewing and printing the current fax of either list.
  void mnuViewPrintClick();
  // "To: RECIPIENT ,   Subject: SUBJECT" of the current outgoing fax.
  QString OutgoingTitle();
  // The current record's fax as a PDF holds it: its own files (cover first),
  // name and details; nullopt, after telling the user, when the record names
  // a file that cannot be one.
  std::optional<FaxToSave> RecordPdfSource(Tab tab);
  // "Save as PDF": the selected rows of the current list, one PDF each.
  void mnuSavePdfClick();

  // Receive mode.
  void ReceiveButtonClick();
  void StartReceiveMode();
  void EndReceiveMode();
  void SetReceiveCaptions(bool on);
  void QaReceiveFax1FaxAccept(bool& accept);
  void QaReceiveFax1FaxStatus(bool first, bool last);
  void QaReceiveFax1FaxLog(TFaxLogCode code);
  void UpdateValues();
  void RecordReceivedFax(const std::string& file, const QString& from, int pages);
  void FaxReceivedMessage(const QString& from, int pages, std::uint32_t recno);
  // Whether the user has the incoming list in front of them.
  bool IncomingListInView() const;
  // The incoming tab's caption with the number of faxes the user has not seen yet.
  void ShowUnseenCount();
  // A notice's "View": the window in front with the fax open in the viewer.
  void ViewReceivedFax(std::uint32_t recno);
  void ShowTrayState();
  // The search box: selects the rows of the current list whose fields or
  // recognised text hold every word searched for; the first becomes current.
  void FindFaxes(const QString& search);
  // What a row is searched in: its fields and the text kept beside its fax.
  QString SearchableText(Tab tab, int row);
  // Cover sheets: the editor on a new fax or on the current one's cover.
  void NewbuttonClick();
  void AddCoverButtonClick();
  void EditAddQuickFax(bool isNew);
  // Draws the cover and writes its row (recno 0: a new one); the row to show,
  // or nullopt when the editor should stay open.
  std::optional<std::uint32_t> SaveQuickFax(const TCreateEditQuickFax& editor, std::uint32_t recno,
                                            const std::string& keptCover);

  // Faxes from outside while the program runs: the printer's pairs as soon
  // as they appear in SEND, documents dropped on the outgoing list.
  void SetUpOutsideFaxes();
  void SendFolderChanged();
  // Takes a drag or drop over the outgoing list; true when it was one.
  bool DropOnOutgoingList(QObject* watched, QEvent* event);
  void AddDroppedDocuments(const QStringList& files);

  // The incoming list.
  void EditReceivedFax();
  void DeleteFromRec();
  void RemoveReceivedFax();
  void ArchiveReceived();
  void SelectReceivedOrder(const char* tag, QAction* item);
  void ForwardButtonClick();

  TXbaseEnv xbaseEnv_;
  TXbase faxXbase_;
  TXbase recXbase_;
  TXbase phoneXbase_;
  // The port and receiver of receive mode, set up at start and idle until it begins.
  TQaComPort qaComPort1_;
  TQaReceiveFax qaReceiveFax1_;
  TQaFaxLog faxHistory_;
  TableModel* faxModel_ = nullptr;
  TableModel* recModel_ = nullptr;
  std::string archiveFilter_;

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
  QLineEdit* searchEdit_ = nullptr;
  // Recognises the text of received faxes in the background.
  OcrQueue* ocrQueue_ = nullptr;
  // Mails received faxes, once their text is recognised.
  MailQueue* mailQueue_ = nullptr;
  QFileSystemWatcher* sendWatcher_ = nullptr;
  QTimer* sendFolderTimer_ = nullptr;

  bool firstActivation_ = true;
  bool activating_ = false;  // a modal dialog of the activation may re-activate the window
  bool openPreferencesAtFirstActivation_ = false;
  bool receiveMode_ = false;
  bool faxBeingReceived_ = false;
  bool receiverRunning_ = false;  // between BeginReceiving and the receiver's finish
  bool endingReceiveMode_ = false;
  bool endingSession_ = false;  // closing without questions
  int lastError_ = 0;             // reported by the receiver during the current call
  int pageCount_ = 0;             // of the current call
  QSystemTrayIcon* tray_ = nullptr;
  std::function<void()> trayView_;  // the last balloon's "View"
  int unseenFaxes_ = 0;             // received while the incoming list was not in view
  bool rebuilding_ = false;
  std::set<std::string> reportedPairs_;  // printer-driver faxes the user heard could not be taken in
};

}  // namespace tv

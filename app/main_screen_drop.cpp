// Faxes that come from outside while the program runs: the pairs the fax
// printer leaves in SEND, taken in as soon as they appear (not only when the
// user comes back to the window), and documents dropped on the outgoing
// list from a file manager, each made into a new outgoing fax.
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMimeData>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <cstdio>

#include "app/main_screen.h"
#include "app/printer_handover.h"
#include "app/table_model.h"
#include "image/document_input.h"
#include "image/qt/qt_picture_reader.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/work_files.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

// A fax and then its description arrive in SEND one after the other; the
// hand-over waits until the folder has been quiet this long.
constexpr int kSettleMs = 200;
// While a dialog is open the list is left alone; a waiting fax is looked
// for again this often, until the dialog closes.
constexpr int kBusyRetryMs = 1000;

QString FolderPath(const std::string& folder) {
  QString path = QString::fromStdString(folder);
  while (path.size() > 1 && path.endsWith('/')) path.chop(1);
  return path;
}

bool HasDescriptions(const std::string& folder) {
  return !QDir(FolderPath(folder)).entryList({"*.zpd"}, QDir::Files).isEmpty();
}

QStringList DroppedFiles(const QMimeData* data) {
  QStringList files;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) files << url.toLocalFile();
  }
  return files;
}

// Converts a document into a new fax file in SEND; its name, or empty with
// `problem` set.
std::string ConvertDocument(const QString& file, std::string& problem) {
  const std::string path = QFile::encodeName(file).toStdString();
  const auto kind = DocumentKind(path);
  if (!kind) {
    problem = "Tessivane cannot make a fax of this kind of file";
    return {};
  }
  DocumentRendering rendering;
  rendering.paper = DefaultPaper();
  rendering.maxPages = Settings().MaxPages;
  const std::unique_ptr<FaxConverter> converter = MakeDocumentConverter(*kind, rendering);
  const std::string target = UniqueFaxFileName(SendFolder(), "FAX");
  if (const int rc = converter->Convert(path, target); rc != ecOK) {
    problem = converter->ErrorDetail().empty() ? ErrorMessageText(rc) : converter->ErrorDetail();
    return {};
  }
  return std::string(BaseName(target));
}

}  // namespace

void TMainScreen::SetUpOutsideFaxes() {
  InstallQtPictureReader();
  sendFolderTimer_ = new QTimer(this);
  sendFolderTimer_->setSingleShot(true);
  connect(sendFolderTimer_, &QTimer::timeout, this, &TMainScreen::SendFolderChanged);
  sendWatcher_ = new QFileSystemWatcher(this);
  sendWatcher_->addPath(FolderPath(SendFolder()));
  connect(sendWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] { sendFolderTimer_->start(kSettleMs); });
  // An empty list is disabled, and a drop on it reaches the pages behind.
  // The window's event filter sees every widget's events (it is installed
  // on the application).
  for (QWidget* target : {faxGrid_->viewport(), static_cast<QWidget*>(pages_)}) target->setAcceptDrops(true);
}

void TMainScreen::SendFolderChanged() {
  // The first activation takes in what is there already.
  if (firstActivation_) return;
  if (activating_ || rebuilding_ || QApplication::activeModalWidget()) {
    if (HasDescriptions(SendFolder())) sendFolderTimer_->start(kBusyRetryMs);
    return;
  }
  // The same hand-over as when the user comes back to the program.
  FormActivate();
}

bool TMainScreen::DropOnOutgoingList(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  const bool onOutgoingList =
      watched == faxGrid_->viewport() || (watched == pages_ && pages_->currentWidget() == faxGrid_);
  if (!onOutgoingList || (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)) return false;
  auto* drop = static_cast<QDropEvent*>(event);
  const QStringList files = DroppedFiles(drop->mimeData());
  // Receive mode keeps the outgoing list as it is.
  if (receiveMode_ || files.isEmpty()) {
    drop->ignore();
    return true;
  }
  drop->acceptProposedAction();
  // The file manager waits until the drop is over: the work comes after.
  if (type == QEvent::Drop) QTimer::singleShot(0, this, [this, files] { AddDroppedDocuments(files); });
  return true;
}

void TMainScreen::AddDroppedDocuments(const QStringList& files) {
  RunRecordAction([&] {
    QStringList failures;
    std::uint32_t added = 0;
    for (const QString& file : files) {
      const QFileInfo info(file);
      ShowStatusPanel("Converting " + info.fileName() + "...");
      std::string problem;
      const std::string name = ConvertDocument(file, problem);
      if (name.empty()) {
        failures << info.fileName() + ": " + QString::fromStdString(problem);
        continue;
      }
      problem = AppendPrinterDriverFax({name, {}, {}, info.completeBaseName().toStdString()});
      if (!problem.empty()) {
        std::remove((SendFolder() + name).c_str());
        failures << info.fileName() + ": " + QString::fromStdString(problem);
        continue;
      }
      added = faxXbase_.RecordNumber();
    }
    HideStatusPanel();
    if (added != 0) {
      FaxTableCloseAndOpen();
      RefreshGrid(Tab::kOutgoing, added);
    }
    SetButtons();
    if (!failures.isEmpty()) ShowInformation("These files could not be made into faxes:\r\n" + failures.join("\r\n"));
  });
}

}  // namespace tv

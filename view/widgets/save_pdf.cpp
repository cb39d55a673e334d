#include "view/widgets/save_pdf.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QSet>
#include <QProgressDialog>
#include <QStandardPaths>
#include <thread>

#include "export/export_settings.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

// Where the last PDF went, for the next question in this run; at first the
// documents folder, or the home folder where there is none.
QString& LastFolder() {
  static QString folder = [] {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QFileInfo(documents).isDir() ? documents : QDir::homePath();
  }();
  return folder;
}

// A name as a file name: no folder separators, not empty.
QString FileNamePart(const QString& name) {
  QString part = name.trimmed();
  part.replace('/', '-');
  return part.isEmpty() ? QString("Fax") : part;
}

QString PageList(const std::vector<int>& pages) {
  QStringList numbers;
  for (int page : pages) numbers << QString::number(page);
  return numbers.join(", ");
}

}  // namespace

std::vector<std::string> AskPdfTargets(QWidget* parent, const QStringList& names) {
  if (names.isEmpty()) return {};
  if (names.size() == 1) {
    QString file = QFileDialog::getSaveFileName(parent, "Save as PDF",
                                                QDir(LastFolder()).filePath(FileNamePart(names[0]) + ".pdf"),
                                                "PDF documents (*.pdf)");
    if (file.isEmpty()) return {};
    if (QFileInfo(file).suffix().isEmpty()) file += ".pdf";
    LastFolder() = QFileInfo(file).absolutePath();
    return {file.toStdString()};
  }
  const QString folder = QFileDialog::getExistingDirectory(
      parent, QString("Save %1 faxes as PDF into the folder").arg(names.size()), LastFolder());
  if (folder.isEmpty()) return {};
  LastFolder() = folder;
  const QDir dir(folder);
  std::vector<std::string> targets;
  QSet<QString> taken;
  for (const QString& name : names) {
    const QString base = FileNamePart(name);
    QString file = base + ".pdf";
    for (int n = 2; taken.contains(file) || dir.exists(file); ++n) file = QString("%1 (%2).pdf").arg(base).arg(n);
    taken.insert(file);
    targets.push_back(dir.filePath(file).toStdString());
  }
  return targets;
}

PdfSaveOutcome WriteFaxToPdf(const FaxToSave& fax, const std::string& pdf) {
  const ExportSettings settings = LoadExportSettings(SettingsFilePath());
  const std::vector<OcrPage> words = FaxWords(fax.files, settings.ocr ? settings.ocrLanguages : std::string());
  FaxPdfResult result;
  const int rc = WriteFaxPdf(fax.files, pdf, fax.details, settings.paper, &result, words);
  const QString target = QString::fromStdString(pdf);
  PdfSaveOutcome outcome;
  outcome.written = rc == 0;
  if (rc != 0) {
    const QString what = QString::fromStdString(ErrorMessageText(rc));
    outcome.problem = result.pages == 0 ? QString("%1 cannot be read: %2").arg(fax.name, what)
                                        : QString("%1 could not be saved as %2: %3").arg(fax.name, target, what);
  } else if (!result.damagedPages.empty()) {
    outcome.problem = QString("%1 is damaged (%2 %3): %4 holds what could be read of it.")
                          .arg(fax.name, result.damagedPages.size() == 1 ? "page" : "pages",
                               PageList(result.damagedPages), target);
  }
  return outcome;
}

QStringList SaveFaxesAsPdf(QWidget* parent, const std::vector<FaxToSave>& faxes) {
  QStringList names;
  for (const FaxToSave& fax : faxes) names << fax.name;
  const std::vector<std::string> targets = AskPdfTargets(parent, names);
  if (targets.empty()) return {};
  QStringList written;
  QStringList problems;
  // Recognising the text of a long fax takes minutes: the work goes on a
  // thread of its own while the window shows how far it is.
  QProgressDialog progress("Saving as PDF...", QString(), 0, static_cast<int>(faxes.size()), parent);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  for (std::size_t i = 0; i < faxes.size(); ++i) {
    progress.setLabelText(QString("Saving %1 as PDF...").arg(faxes[i].name));
    PdfSaveOutcome outcome;
    QEventLoop wait;
    std::thread worker([&, i] {
      outcome = WriteFaxToPdf(faxes[i], targets[i]);
      QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    });
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    progress.setValue(static_cast<int>(i) + 1);
    if (!outcome.problem.isEmpty()) problems << outcome.problem;
    if (outcome.written) written << QString::fromStdString(targets[i]);
  }
  if (!problems.isEmpty()) ShowWarning(problems.join("\n\n"));
  return written;
}

}  // namespace tv

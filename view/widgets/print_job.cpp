#include "view/widgets/print_job.h"

#include <cups/cups.h>
#include <stdio.h>

#include <QDir>
#include <QFileInfo>
#include <QPrintEngine>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tv {

namespace {

// The job options Qt's print dialog collects for CUPS printers (banner
// pages, priority, the printer's own settings) sit in this engine property
// as name and value pairs.
constexpr auto kCupsOptionsProperty = QPrintEngine::PrintEnginePropertyKey(0xfe00);

QString Quoted(const QString& text) { return QString("\"%1\"").arg(text); }

}  // namespace

QPrinter& PrintJob::Begin() {
  const bool toFile = ToFile();
  const QString pattern = toFile ? QFileInfo(target_.outputFileName()).absolutePath() + "/." +
                                       QFileInfo(target_.outputFileName()).fileName() + ".XXXXXX"
                                 : QDir::tempPath() + "/tessivane-print-XXXXXX.pdf";
  file_ = std::make_unique<QTemporaryFile>(pattern);
  if (!file_->open()) {
    throw EFaxPrintError(
        QString("Cannot write %1: %2")
            .arg(Quoted(toFile ? target_.outputFileName() : file_->fileTemplate()), file_->errorString())
            .toStdString());
  }
  file_->close();
  sheets_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  sheets_->setOutputFormat(QPrinter::PdfFormat);
  sheets_->setOutputFileName(file_->fileName());
  sheets_->setResolution(target_.resolution());
  sheets_->setFullPage(target_.fullPage());
  sheets_->setPageLayout(target_.pageLayout());
  sheets_->setDocName(target_.docName());
  sheets_->setCreator(target_.creator());
  return *sheets_;
}

void PrintJob::Finish(const QString& title) {
  if (!ToFile()) {
    SubmitToPrinter(title);
    return;
  }
  // The finished file takes the target's place in one step.
  const QByteArray from = QFile::encodeName(file_->fileName());
  const QByteArray to = QFile::encodeName(target_.outputFileName());
  if (::rename(from.constData(), to.constData()) != 0) {
    throw EFaxPrintError(
        QString("Cannot write %1: %2").arg(Quoted(target_.outputFileName()), std::strerror(errno)).toStdString());
  }
  file_->setAutoRemove(false);
  QFile(target_.outputFileName()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadGroup | QFileDevice::ReadOther);
}

// The options Qt's own printing gives CUPS for the same settings.
void PrintJob::SubmitToPrinter(const QString& title) {
  std::vector<std::pair<QByteArray, QByteArray>> options;
  const QPageLayout layout = target_.pageLayout();
  options.emplace_back("media", layout.pageSize().key().toUtf8());
  if (target_.copyCount() > 1) {
    options.emplace_back("copies", QByteArray::number(target_.copyCount()));
    if (target_.collateCopies()) options.emplace_back("Collate", "True");
  }
  switch (target_.duplex()) {
    case QPrinter::DuplexNone: options.emplace_back("sides", "one-sided"); break;
    case QPrinter::DuplexLongSide: options.emplace_back("sides", "two-sided-long-edge"); break;
    case QPrinter::DuplexShortSide: options.emplace_back("sides", "two-sided-short-edge"); break;
    case QPrinter::DuplexAuto:
      options.emplace_back("sides", layout.orientation() == QPageLayout::Portrait ? "two-sided-long-edge"
                                                                                  : "two-sided-short-edge");
      break;
  }
  if (layout.orientation() == QPageLayout::Landscape) options.emplace_back("landscape", "");
  const QStringList dialogOptions = target_.printEngine()->property(kCupsOptionsProperty).toStringList();
  for (qsizetype i = 0; i + 1 < dialogOptions.size(); i += 2) {
    options.emplace_back(dialogOptions[i].toUtf8(), dialogOptions[i + 1].toUtf8());
  }
  std::vector<cups_option_t> cupsOptions;
  for (auto& [name, value] : options) cupsOptions.push_back({name.data(), value.data()});

  // A printer instance ("name/instance") prints on its printer.
  const QByteArray printer = target_.printerName().section('/', 0, 0).toUtf8();
  const int job = cupsPrintFile2(CUPS_HTTP_DEFAULT, printer.constData(), QFile::encodeName(file_->fileName()).constData(),
                                 title.toUtf8().constData(), static_cast<int>(cupsOptions.size()), cupsOptions.data());
  if (job == 0) {
    throw EFaxPrintError(QString("The printer %1 did not take the job: %2")
                             .arg(Quoted(target_.printerName()), QString::fromUtf8(cupsLastErrorString()))
                             .toStdString());
  }
}

}  // namespace tv

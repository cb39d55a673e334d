// A print job composed whole before anything leaves the program: the sheets
// are drawn into a PDF file (beside the target file, or in the temporary
// folder when a printer is the target), which replaces the target file or
// goes to the print system only once the job is complete. A job that fails
// or is aborted leaves nothing behind: no queued job, no half-written file.
#pragma once

#include <QPrinter>
#include <QString>
#include <QTemporaryFile>
#include <memory>
#include <stdexcept>

namespace tv {

// A printing failure the user is told about (the message names the file or
// printer and the reason).
class EFaxPrintError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PrintJob {
 public:
  explicit PrintJob(QPrinter& target) : target_(target) {}
  ~PrintJob() = default;  // an unfinished job's file is removed with it
  PrintJob(const PrintJob&) = delete;
  PrintJob& operator=(const PrintJob&) = delete;

  // The printer to draw the job's sheets on, with the target's page layout
  // and resolution.
  QPrinter& Begin();
  // Hands the drawn job (painting on it must have ended) to its target.
  void Finish(const QString& title);

  bool ToFile() const { return !target_.outputFileName().isEmpty(); }

 private:
  void SubmitToPrinter(const QString& title);

  QPrinter& target_;
  std::unique_ptr<QTemporaryFile> file_;
  std::unique_ptr<QPrinter> sheets_;
};

}  // namespace tv

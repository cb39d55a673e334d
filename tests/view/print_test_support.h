// What the printing tests look at their output with: poppler's PDF tools,
// and a CUPS scheduler of the test's own with one printer that keeps every
// job it is sent as a file.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <optional>
#include <string>

namespace tv::test {

// Runs a program to its end; its standard output, or nothing when it could
// not run or failed.
inline std::optional<QString> RunTool(const QString& program, const QStringList& args,
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QProcess process;
  process.setProcessEnvironment(env);
  process.start(program, args);
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
    qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
    return std::nullopt;
  }
  return QString::fromUtf8(process.readAllStandardOutput());
}

inline int PdfPageCount(const QString& pdf) {
  for (const QString& line : RunTool("pdfinfo", {pdf}).value_or("").split('\n')) {
    if (line.startsWith("Pages:")) return line.mid(6).trimmed().toInt();
  }
  return -1;
}

inline QString PdfText(const QString& pdf, int page) {
  return RunTool("pdftotext", {"-f", QString::number(page), "-l", QString::number(page), "-layout", pdf, "-"})
      .value_or("");
}

// One page of a PDF as grey pixels at `dpi`, without smoothing.
inline QImage RasterPage(const QString& pdf, int page, int dpi) {
  const QString base = pdf + ".raster";
  RunTool("pdftoppm", {"-gray", "-aa", "no", "-aaVector", "no", "-r", QString::number(dpi), "-f",
                       QString::number(page), "-l", QString::number(page), "-singlefile", pdf, base});
  QImage image(base + ".pgm");
  QFile::remove(base + ".pgm");
  return image.convertToFormat(QImage::Format_Grayscale8);
}

// A scheduler on a socket in `folder` with the printer kPrinter, whose jobs
// land in folder/jobs as job-<id> exactly as they were submitted.
class PrivateCups {
 public:
  static constexpr const char* kPrinter = "TessivaneTest";

  explicit PrivateCups(const QString& folder) : folder_(QDir(folder).absolutePath()) {
    QDir dir(folder_);
    for (const char* sub : {"spool", "cache", "state", "log", "jobs", "ppd", "bin/backend"}) dir.mkpath(sub);
    QFile(folder_ + "/jobs").setPermissions(QFile::Permissions(0x7777));
    for (const char* sub : {"daemon", "notifier"}) QFile::link(QString("/usr/lib/cups/") + sub, folder_ + "/bin/" + sub);
    Write("bin/backend/tvjobs",
          "#!/bin/sh\n"
          "[ $# -eq 0 ] && exit 0\n"
          "out=\"${DEVICE_URI#tvjobs:}/job-$1\"\n"
          "if [ -n \"$6\" ]; then cat \"$6\" > \"$out.part\"; else cat > \"$out.part\"; fi\n"
          "mv \"$out.part\" \"$out\"\n");
    // Run as the scheduler's own user whether it runs as root or not.
    QFile(folder_ + "/bin/backend/tvjobs").setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Write("cupsd.conf", QString("Listen %1\nLogLevel warn\n<Location />\nOrder allow,deny\nAllow all\n</Location>\n"
                                "<Location /admin>\nOrder allow,deny\nAllow all\n</Location>\n")
                            .arg(Socket()));
    Write("cups-files.conf", QString("ServerRoot %1\nRequestRoot %1/spool\nCacheDir %1/cache\nStateDir %1/state\n"
                                     "TempDir %1/spool\nErrorLog %1/log/error_log\nAccessLog %1/log/access_log\n"
                                     "PageLog %1/log/page_log\nServerBin %1/bin\nDataDir /usr/share/cups\n")
                                 .arg(folder_));
    scheduler_.start("/usr/sbin/cupsd",
                     {"-f", "-c", folder_ + "/cupsd.conf", "-s", folder_ + "/cups-files.conf"});
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(Socket()) && clock.elapsed() < 10000) QTest::qWait(50);
    QProcessEnvironment env = Environment();
    ready_ = QFile::exists(Socket()) && RunTool("lpadmin", {"-p", kPrinter, "-E", "-v", "tvjobs:" + folder_ + "/jobs"}, env) &&
             RunTool("lpadmin", {"-d", kPrinter}, env);
  }
  ~PrivateCups() {
    scheduler_.terminate();
    scheduler_.waitForFinished(5000);
  }
  PrivateCups(const PrivateCups&) = delete;
  PrivateCups& operator=(const PrivateCups&) = delete;

  bool Ready() const { return ready_; }
  // What the scheduler said, for a failure message.
  QString Log() {
    QFile log(folder_ + "/log/error_log");
    log.open(QFile::ReadOnly);
    return QString::fromUtf8(scheduler_.readAllStandardError() + log.readAll());
  }
  QString Socket() const { return folder_ + "/cups.sock"; }
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CUPS_SERVER", Socket());
    return env;
  }
  // The jobs printed so far, oldest first.
  QStringList Jobs() const {
    QStringList jobs;
    for (const QString& name : QDir(folder_ + "/jobs").entryList({"job-*"}, QDir::Files, QDir::Name)) {
      if (!name.endsWith(".part")) jobs << folder_ + "/jobs/" + name;
    }
    return jobs;
  }
  bool WaitForJobs(int count, int timeoutMs = 15000) const {
    QElapsedTimer clock;
    clock.start();
    while (Jobs().size() < count && clock.elapsed() < timeoutMs) QTest::qWait(50);
    return Jobs().size() >= count;
  }

 private:
  void Write(const QString& name, const QString& text) const {
    QFile file(folder_ + "/" + name);
    if (file.open(QFile::WriteOnly | QFile::Truncate)) file.write(text.toUtf8());
  }

  QString folder_;
  QProcess scheduler_;
  bool ready_ = false;
};

}  // namespace tv::test

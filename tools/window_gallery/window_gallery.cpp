// window_gallery: every window of the program shown on sample data, for
// pictures of them (docs/screenshots) and for the check that nothing is cut
// off at the scale (QT_SCALE_FACTOR) and palette it runs in.
//
//   window_gallery [--out DIR] [--dark] [--check]
//
// --out writes DIR/NAME.png for each window; --check prints every widget
// that is smaller than it needs to show its text and exits 1 when there is
// one; --dark uses a dark palette.
#include <QAbstractScrollArea>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QStyleFactory>
#include <QTabBar>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "app/about.h"
#include "app/fax_status_display.h"
#include "app/main_screen.h"
#include "app/modem_tools.h"
#include "app/phone_book.h"
#include "app/preferences.h"
#include "app/rebuild_dialog.h"
#include "app/send_fax_form.h"
#include "app/small_dialogs.h"
#include "app/table_model.h"
#include "cover/cover_editor.h"
#include "cover/fax_editor.h"
#include "cover/template_chooser.h"
#include "image/fax_converter.h"
#include "line/demo_line.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "ui/qt_ui_thread.h"
#include "ui/window_helpers.h"
#include "view/widgets/view_window.h"

namespace {

struct Options {
  QString out;
  bool dark = false;
  bool check = false;
};

void Append(tv::TXbase& table, std::initializer_list<std::pair<const char*, tv::FieldData>> fields) {
  table.NewRecord();
  for (const auto& [name, value] : fields) {
    // Texts are stored in the tables' code page, as the window stores them.
    if (const auto* text = std::get_if<std::string>(&value)) {
      table.SetField(name, tv::ToTableText(QString::fromStdString(*text)));
    } else {
      table.SetField(name, value);
    }
  }
  table.Append();
}

// A program folder such as a user's after some weeks of faxing.
void MakeSampleFolder(const std::string& home) {
  tv::InitProgramFolder(home);
  tv::MakeWorkFolders();
  tv::AppSettings s;
  s.ComPort = 0;
  s.Name = "Anna Lindqvist";
  s.Fax = "+46 8 555 0100";
  s.Company = "Lindqvist Design AB";
  s.Voice = "+46 8 555 0101";
  s.MaximumBPS = 14400;
  tv::SaveSettings(s, tv::SettingsFilePath());
  // No modem here: the tools' probes end at once.
  for (int n = 1; n <= 6; ++n) tv::MapComDevice(tv::SettingsFilePath(), n, "/dev/ttyS" + std::to_string(n + 63));

  std::ofstream(home + "letter.txt") << "Quotation 2026-114\n\nDear Mr Okafor,\n\nplease find our offer attached.\n";
  tv::FaxConverter converter(tv::MakeTextInput(), "TXT");
  converter.Convert(home + "letter.txt", home + "SEND/FAX00000.APF");

  tv::TXbase out;
  tv::OpenOutgoingTable(out, home);
  using tv::CivilDate;
  Append(out, {{"DATESENT", CivilDate{2026, 11, 30}}, {"TIMESENT", std::string("09:12")},
               {"PHONE", std::string("+44 20 7946 0321")}, {"RECIPIENT", std::string("Okafor & Partners")},
               {"SUBJECT", std::string("Quotation 2026-114")}, {"LASTRESULT", std::string("Sent")},
               {"FAXDOC", std::string("FAX00000.APF")}});
  Append(out, {{"DATESENT", CivilDate{2026, 12, 2}}, {"TIMESENT", std::string("14:40")},
               {"PHONE", std::string("030 555 8812")}, {"RECIPIENT", std::string("Müller Logistik")},
               {"SUBJECT", std::string("Delivery note 4471")}, {"LASTRESULT", std::string("Sent")}});
  Append(out, {{"PHONE", std::string("555 0199")}, {"RECIPIENT", std::string("City Planning Office")},
               {"SUBJECT", std::string("Permit application")},
               {"LASTRESULT", std::string("Called fax number was busy")}, {"FAXDOC", std::string("FAX00000.APF")}});
  Append(out, {{"PHONE", std::string("555 0142")}, {"RECIPIENT", std::string("Dr. Sato")},
               {"SUBJECT", std::string("Signed consent form")}, {"FAXDOC", std::string("FAX00000.APF")}});
  tv::TXbase received;
  tv::OpenRecFaxDBF(received, home);
  Append(received, {{"DATEREC", CivilDate{2026, 12, 3}}, {"TIMEREC", std::string("08:05")},
                    {"FROM", std::string("+1 212 555 0147")}, {"PAGES", 3}, {"NOTES", std::string("Invoice")}});
  Append(received, {{"DATEREC", CivilDate{2026, 12, 4}}, {"TIMEREC", std::string("16:22")},
                    {"FROM", std::string("OKAFOR PARTNERS")}, {"PAGES", 1}});
  tv::TXbase phone;
  tv::OpenPhoneTable(phone, home, true);
  Append(phone, {{"NAME", std::string("Okafor & Partners")}, {"PHONE", std::string("+44 20 7946 0321")}});
  Append(phone, {{"NAME", std::string("Müller Logistik")}, {"PHONE", std::string("030 555 8812")}});
  Append(phone, {{"NAME", std::string("Dr. Sato")}, {"PHONE", std::string("555 0142")}});
}

void UseDarkPalette() {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(45, 45, 48));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  dark.setColor(QPalette::Base, QColor(30, 30, 32));
  dark.setColor(QPalette::AlternateBase, QColor(50, 50, 54));
  dark.setColor(QPalette::Text, QColor(230, 230, 230));
  dark.setColor(QPalette::Button, QColor(55, 55, 60));
  dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
  dark.setColor(QPalette::Highlight, QColor(53, 132, 228));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 64));
  dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
  QApplication::setPalette(dark);
}

// Widgets smaller than they need to be to show what they hold.
QStringList CutOff(QWidget* window) {
  QStringList cut;
  const QSize least = window->minimumSizeHint();
  if (least.isValid() && (window->width() < least.width() || window->height() < least.height())) {
    cut << QString("the window is %1x%2 but needs %3x%4")
               .arg(window->width())
               .arg(window->height())
               .arg(least.width())
               .arg(least.height());
  }
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisible() || w->isWindow()) continue;
    if (qobject_cast<QAbstractScrollArea*>(w->parentWidget())) continue;  // scrolled contents
    if (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w) && !qobject_cast<QGroupBox*>(w)) continue;
    QSize need = w->minimumSizeHint();
    // Wrapped text needs the height of its lines at the width it was given.
    if (w->hasHeightForWidth()) need.setHeight(std::max(need.height(), w->heightForWidth(w->width())));
    if (!need.isValid() || (w->width() >= need.width() && w->height() >= need.height())) continue;
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) text = button->text();
    if (auto* box = qobject_cast<QGroupBox*>(w)) text = box->title();
    cut << QString("%1 \"%2\" is %3x%4 but needs %5x%6")
               .arg(w->metaObject()->className(), text.left(40))
               .arg(w->width())
               .arg(w->height())
               .arg(need.width())
               .arg(need.height());
  }
  return cut;
}

// Waits (processing events) until ready() holds, at most half a minute.
void WaitFor(const std::function<bool()>& ready) {
  QElapsedTimer waited;
  waited.start();
  while (!ready() && waited.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Message boxes are answered as soon as they appear (a send's "Fax sent
// successfully"): the windows behind them are the pictures.
void AnswerMessageBoxes(QObject* owner) {
  auto* timer = new QTimer(owner);
  QObject::connect(timer, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
  });
  timer->start(50);
}

bool ToolDone(QWidget* tool) {
  auto* ok = tool->findChild<QPushButton*>("OkButton");
  return ok && ok->isVisible();
}

struct Entry {
  const char* name;
  std::function<QWidget*()> make;                       // shown by the gallery
  std::function<bool(QWidget*)> ready = [](QWidget*) { return true; };
  bool owned = true;  // the gallery deletes the window when done with it
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const QString arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      options.out = argv[++i];
    } else if (arg == "--dark") {
      options.dark = true;
    } else if (arg == "--check") {
      options.check = true;
    } else {
      std::fprintf(stderr, "usage: window_gallery [--out DIR] [--dark] [--check]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  tv::QtUiThread uiThread;
  tv::UiThread::Install(&uiThread);
  tv::ApplyProgramLook();
  tv::InstallDemoLine();
  if (options.dark) UseDarkPalette();

  const QString home = QDir::temp().filePath(QString("tessivane-gallery-%1").arg(QCoreApplication::applicationPid()));
  QDir(home).removeRecursively();
  QDir().mkpath(home);
  MakeSampleFolder((home + "/").toStdString());
  tv::LoadAppSettings();

  tv::TQaSendFax statusFax;
  statusFax.SetPhoneNumber("+44 20 7946 0321");
  tv::TQaComPort toolPort;
  tv::TQaSendFax toolFax;
  toolFax.SetComPort(&toolPort);
  AnswerMessageBoxes(&app);
  // A fax sent to the demo line's far end: the status display in the middle
  // of the call, then the send dialog with its result.
  tv::TSendFaxForm* sending = nullptr;
  auto startSending = [&]() -> QWidget* {
    sending = new tv::TSendFaxForm;
    sending->SetSendFileName(home + "/SEND/FAX00000.APF");
    sending->FillFrom(tv::Settings());
    sending->SetInitialPhone("+44 20 7946 0321");
    sending->setWindowTitle("Send Fax: [To: Okafor & Partners,   Subject: Quotation 2026-114]");
    tv::CenterForm(sending);
    sending->show();
    sending->findChild<QPushButton*>("SendFaxButton")->click();
    tv::TStandardFaxDisplay* display = nullptr;
    WaitFor([&] {
      display = sending->findChild<tv::TStandardFaxDisplay*>();
      return display && display->isVisible() &&
             display->findChild<QLabel*>("fsStatusMsg")->text() == "Sending page data";
    });
    return display;
  };
  std::unique_ptr<tv::TMainScreen> main;
  auto mainWindow = [&](int tab) {
    main = std::make_unique<tv::TMainScreen>();
    tv::SetMainWindow(main.get());
    main->findChild<QTabBar*>("TabSet1")->setCurrentIndex(tab);
    return main.get();
  };

  const std::vector<Entry> gallery = {
      {"main-outgoing", [&] { return mainWindow(0); }},
      {"main-incoming", [&] { return mainWindow(1); }},
      {"preferences",
       [] {
         auto* dialog = new tv::TPreferences;
         dialog->FillFrom(tv::Settings());
         return dialog;
       }},
      {"send-fax",
       [] {
         auto* dialog = new tv::TSendFaxForm;
         dialog->FillFrom(tv::Settings());
         dialog->SetInitialPhone("+44 20 7946 0321");
         dialog->setWindowTitle("Send Fax: [To: Okafor & Partners ,   Subject: Quotation 2026-114]");
         return dialog;
       }},
      {"fax-status",
       [&] {
         auto* display = new tv::TStandardFaxDisplay;
         display->UpdateValues(statusFax);
         return display;
       }},
      {"find-modem", [&] { return new tv::TFindModemForm(toolPort); }, ToolDone},
      {"check-fax-class", [&] { return new tv::TCheckFaxClassForm(toolPort, toolFax, 1); }, ToolDone},
      // The tools' results, from the demo line's modem on Com1.
      {"find-modem-found",
       [&] {
         tv::MapComDevice(tv::SettingsFilePath(), 1, tv::kDemoFastDevice);
         return new tv::TFindModemForm(toolPort);
       },
       ToolDone},
      {"check-fax-class-result", [&] { return new tv::TCheckFaxClassForm(toolPort, toolFax, 1); }, ToolDone},
      {"fax-status-mid-call", startSending, [](QWidget*) { return true; }, false},
      {"send-fax-result", [&] { return sending; }, [&](QWidget*) { return !sending->Busy(); }},
      {"modem-reset",
       [] {
         auto* dialog = new tv::TResetModemForm;
         dialog->SetValues(0, "AT&F", false);
         return dialog;
       }},
      {"phone-book",
       [] {
         auto* book = new tv::TPhoneBook(tv::TPhoneBook::Use::kMaintain);
         book->OpenTable();
         return book;
       }},
      {"phone-book-entry", [] { return new tv::TPhoneBookEditor("Dr. Sato", "555 0142"); }},
      {"delete-fax", [] { return new tv::TDeleteWhat; }},
      {"received-notes", [] { return new tv::TEditReceiveNotes("+1 212 555 0147", "Invoice"); }},
      {"fax-information",
       [] {
         auto* editor = new tv::TFaxEditor;
         editor->SetValues({"Okafor & Partners", "+44 20 7946 0321", "Quotation 2026-114", "", ""});
         return editor;
       }},
      {"view-print",
       [&] {
         auto* viewer = new tv::TFaxViewer;
         viewer->SetFaxFileName((home + "/SEND/FAX00000.APF").toStdString());
         viewer->SetTitle("To: Okafor & Partners, Subject: Quotation 2026-114");
         return viewer;
       }},
      {"cover-sheet",
       [] {
         auto* editor = new tv::TCreateEditQuickFax;
         editor->SetInformation({"Okafor & Partners", "+44 20 7946 0321", "Quotation 2026-114", "", ""});
         tv::CoverData cover;
         cover.Flags[tv::kUrgent] = true;
         cover.Flags[tv::kPleaseReply] = true;
         cover.Message = "Please find our quotation attached.\nThe prices hold until the end of the month.";
         editor->SetCover(cover);
         return editor;
       }},
      {"cover-templates",
       [] {
         auto* chooser = new tv::TPreviewQuickFaxForms;
         chooser->SetFolder(tv::CoversFolder(), "tv0001.fct");
         return chooser;
       }},
      {"about", [] { return new tv::TSplashform; }},
  };

  int problems = 0;
  for (const Entry& entry : gallery) {
    QWidget* window = entry.make();
    if (window != main.get()) tv::CenterForm(window);  // as the program shows every dialog
    window->show();
    WaitFor([&] { return entry.ready(window); });
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (options.check) {
      for (const QString& cut : CutOff(window)) {
        std::printf("%s: %s\n", entry.name, cut.toUtf8().constData());
        ++problems;
      }
    }
    if (!options.out.isEmpty()) {
      QDir().mkpath(options.out);
      window->grab().save(QDir(options.out).filePath(QString(entry.name) + ".png"));
    }
    window->hide();
    if (window != main.get() && entry.owned) delete window;
    tv::SetMainWindow(nullptr);
    main.reset();
  }
  QDir(home).removeRecursively();
  tv::UiThread::Install(nullptr);
  if (options.check) std::printf("%d windows checked, %d cut off\n", static_cast<int>(gallery.size()), problems);
  return problems == 0 ? 0 : 1;
}

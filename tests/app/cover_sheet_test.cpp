// Cover sheets from the main window as a user makes them: "&New", "Add
// C&over" on a fax with a body, Edit of a cover, the template chooser, the
// editor's checks, and a SEND folder that cannot be written.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>

#include "app/main_screen.h"
#include "app/preferences.h"
#include "cover/cover_editor.h"
#include "cover/shipped_templates.h"
#include "cover/template_chooser.h"
#include "image/apf_file.h"
#include "image/fax_unpacker.h"
#include "platform/app_settings.h"
#include "platform/paths.h"
#include "store/fax_tables.h"
#include "tests/app/modal_driver.h"
#include "tests/app/qtest_main.h"
#include "tests/app/window_home.h"
#include "tests/support/temp_dir.h"
#include "tests/view/view_test_util.h"
#include "view/fax_pages.h"
#include "view/widgets/view_window.h"

namespace tv {

namespace {

template <class T>
T* Child(QWidget* parent, const char* name) {
  auto* child = parent->findChild<T*>(name);
  if (!child) qFatal("no %s", name);
  return child;
}

// What a user types into the cover-sheet editor.
struct Typed {
  QString recipient;
  QString fax;
  QString regarding;
  QString message;
  QStringList flags{};
};

void Type(TCreateEditQuickFax* editor, const Typed& typed) {
  Child<QLineEdit>(editor, "Recipient")->setText(typed.recipient);
  Child<QLineEdit>(editor, "RecipientFax")->setText(typed.fax);
  Child<QLineEdit>(editor, "Regarding")->setText(typed.regarding);
  Child<QPlainTextEdit>(editor, "FaxMessage")->setPlainText(typed.message);
  for (const QString& flag : typed.flags) Child<QCheckBox>(editor, qPrintable(flag))->setChecked(true);
}

QStringList CheckedFlags(TCreateEditQuickFax* editor) {
  QStringList checked;
  for (const char* flag : {"cUrgent", "cForReview", "cPleaseComment", "cPleaseReply", "cPleaseRecycle"}) {
    if (Child<QCheckBox>(editor, flag)->isChecked()) checked << flag;
  }
  return checked;
}

int PageCount(const std::string& apf) {
  TApfFileHeader header;
  return ApfReadFileHeader(apf, header) == 0 ? header.pageCount : -1;
}

int BlackPixels(const MonoBitmap& page) {
  int black = 0;
  for (int y = 0; y < page.Height(); ++y) {
    for (int x = 0; x < page.Width(); ++x) black += page.IsBlack(x, y);
  }
  return black;
}

}  // namespace

class CoverSheetTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::WindowHome> home_;
  std::unique_ptr<TMainScreen> window_;

  void Open() {
    window_ = test::OpenMainWindow();
  }
  QAction* Action(const char* name) { return Child<QAction>(window_.get(), name); }
  int Rows() { return Child<QTableView>(window_.get(), "FaxGrid")->model()->rowCount(); }
  // A field of the outgoing table's record, as the window's own table has it.
  QString Field(std::uint32_t recno, const char* name) {
    TXbase& table = window_->FaxXbase();
    table.GoToRecord(recno);
    const auto value = table.Field(name);
    return value ? QString::fromLatin1(std::get<std::string>(*value)).trimmed() : QString();
  }
  std::string Send(const std::string& name) const { return home_->File("SEND/" + name); }
  // Saves a new cover sheet that is refused: `message` receives what was
  // shown; the editor comes back with what was typed and is cancelled, and
  // no row is made.
  void SaveRefusedNewCover(QString& message) {
    QString typedAgain;
    test::WhenModal<TCreateEditQuickFax>([&](TCreateEditQuickFax* editor) {
      Type(editor, {"Jane Smith", "555 0100", "Plans", "Hello"});
      test::AnswerMessageBox(QMessageBox::Ok, &message);
      test::WhenModal<TCreateEditQuickFax>([&](TCreateEditQuickFax* again) {
        typedAgain = Child<QLineEdit>(again, "Recipient")->text() + "/" +
                     Child<QPlainTextEdit>(again, "FaxMessage")->toPlainText();
        Child<QPushButton>(again, "CancelButton")->click();
      });
      Child<QPushButton>(editor, "OkButton")->click();
    });
    Action("mnuNew")->trigger();
    QTRY_COMPARE(typedAgain, QString("Jane Smith/Hello"));
    QCOMPARE(Rows(), 0);
    QCOMPARE(window_->FaxXbase().RecordCount(), 0u);
  }

 private slots:
  void init() {
    home_ = std::make_unique<test::WindowHome>();
  }
  void cleanup() {
    window_.reset();
    home_.reset();
  }

  void newMakesAOnePageFaxWithItsCoverData() {
    Open();
    QVERIFY(QFile::exists(QString::fromStdString(home_->File("Covers/tv0001.fct"))));
    QString hintBefore;
    QString hintAfter;
    test::WhenModal<TCreateEditQuickFax>([&](TCreateEditQuickFax* editor) {
      QCOMPARE(Child<QLabel>(editor, "CurrentQFileLabel")->text(), QString("tv0001.fct"));
      // The sender's details are changed on the way, in the settings.
      auto* senderInfo = Child<QPushButton>(editor, "SenderInfoButton");
      hintBefore = senderInfo->toolTip();
      test::WhenModal<TPreferences>([](TPreferences* preferences) {
        Child<QLineEdit>(preferences, "Name")->setText("Ann Sender");
        Child<QLineEdit>(preferences, "Company")->setText("Acme");
        Child<QPushButton>(preferences, "Acceptbutton")->click();
      });
      senderInfo->click();
      hintAfter = senderInfo->toolTip();
      Type(editor, {"Jane Smith", "555 0100", "Plans", "Hello\nthere", {"cPleaseReply"}});
      Child<QLineEdit>(editor, "Notes")->setText("note");
      Child<QLineEdit>(editor, "Codes")->setText("A1");
      Child<QPushButton>(editor, "OkButton")->click();
    });
    Action("NewButton")->trigger();
    QTRY_COMPARE(Rows(), 1);
    QCOMPARE(hintBefore, QString("No sender information entered"));
    QCOMPARE(hintAfter, QString("Ann Sender\nAcme\n\n"));
    QCOMPARE(LoadSettings(SettingsFilePath()).Name, std::string("Ann Sender"));

    const std::uint32_t recno = 1;
    QCOMPARE(Field(recno, "FAXCOVER"), QString("COV00000.APF"));
    QCOMPARE(Field(recno, "FAXDOC"), QString());
    QCOMPARE(Field(recno, "RECIPIENT"), QString("Jane Smith"));
    QCOMPARE(Field(recno, "PHONE"), QString("555 0100"));
    QCOMPARE(Field(recno, "SUBJECT"), QString("Plans"));
    QCOMPARE(Field(recno, "NOTES"), QString("note"));
    QCOMPARE(Field(recno, "CODES"), QString("A1"));
    QCOMPARE(PageCount(Send("COV00000.APF")), 1);
    QCOMPARE(home_->Read("SEND/COV00000.fcd"), std::string("tv0001.fct\n   X \nHello\nthere\n"));
    QVERIFY(!Action("AddCoverButton")->isEnabled());
    QVERIFY(Action("SendButton")->isEnabled());
  }

  void addCoverPutsTheCoverFirstAndEditRedrawsIt() {
    const auto block = [](int x) { return test::PageWithBlocks(1728, 1100, {{x, 100, 200, 200}}); };
    QCOMPARE(test::WriteFax(Send("FAX00000.APF"), {block(600), block(1100)}), 0);
    {
      TXbase table;
      QVERIFY(OpenOutgoingTable(table, home_->Path()));
      table.NewRecord();
      for (auto [name, value] : {std::pair{"FAXDOC", "FAX00000.APF"}, {"RECIPIENT", "Bob"}, {"PHONE", "555 0123"},
                                 {"SUBJECT", "Offer"}, {"NOTES", "n1"}, {"CODES", "c1"}}) {
        table.SetField(name, std::string(value));
      }
      table.Append();
    }
    Open();
    QVERIFY(Action("AddCoverButton")->isEnabled());
    QString prefilled;
    test::WhenModal<TCreateEditQuickFax>([&](TCreateEditQuickFax* editor) {
      prefilled = QStringList{Child<QLineEdit>(editor, "Recipient")->text(),
                              Child<QLineEdit>(editor, "RecipientFax")->text(),
                              Child<QLineEdit>(editor, "Regarding")->text(), Child<QLineEdit>(editor, "Notes")->text(),
                              Child<QLineEdit>(editor, "Codes")->text()}
                      .join('|');
      test::WhenModal<TPreviewQuickFaxForms>([](TPreviewQuickFaxForms* chooser) {
        auto* list = Child<QListWidget>(chooser, "FileListBox");
        list->setCurrentItem(list->findItems("tv0003.fct", Qt::MatchExactly).first());
        Child<QPushButton>(chooser, "OkButton")->click();
      });
      Child<QPushButton>(editor, "SelectTemplateButton")->click();
      Type(editor, {"Bob", "555 0123", "Offer", "Cover for the offer", {"cUrgent"}});
      Child<QPushButton>(editor, "OkButton")->click();
    });
    Action("AddCoverButton")->trigger();
    QTRY_COMPARE(Field(1, "FAXCOVER"), QString("COV00000.APF"));
    QCOMPARE(prefilled, QString("Bob|555 0123|Offer|n1|c1"));
    QCOMPARE(Rows(), 1);
    QVERIFY(!Action("AddCoverButton")->isEnabled());

    // Viewed (as sent) the cover comes first, then the body's pages.
    int pages = 0;
    bool coverFirst = false;
    std::vector<bool> bodyBlocks;
    test::WhenModal<TFaxViewer>([&](TFaxViewer* viewer) {
      FaxPages shown;
      MonoBitmap cover;
      FaxUnpacker unpacker;
      if (shown.Open(viewer->FaxViewer().FileName()) == 0 &&
          unpacker.UnpackPageToBitmap(Send("COV00000.APF"), 1, cover) == 0) {
        pages = shown.PageCount();
        for (int n = 1; n <= pages; ++n) {
          const MonoBitmap* page = nullptr;
          if (shown.Page(n, page) != 0) break;
          if (n == 1) coverFirst = page->Height() == cover.Height() && BlackPixels(*page) == BlackPixels(cover);
          if (n > 1) bodyBlocks.push_back(page->IsBlack(700 + 500 * (n - 2), 200));
        }
      }
      Child<QPushButton>(viewer, "CloseButton")->click();
    });
    Action("ViewButton")->trigger();
    QCOMPARE(pages, 3);
    QVERIFY(coverFirst);
    QCOMPARE(bodyBlocks, (std::vector<bool>{true, true}));

    // Edit reopens the cover as it was saved and redraws it into its file.
    const std::string before = home_->Read("SEND/COV00000.APF");
    QString templateShown;
    QStringList flagsShown;
    QString messageShown;
    test::WhenModal<TCreateEditQuickFax>([&](TCreateEditQuickFax* editor) {
      templateShown = Child<QLabel>(editor, "CurrentQFileLabel")->text();
      flagsShown = CheckedFlags(editor);
      messageShown = Child<QPlainTextEdit>(editor, "FaxMessage")->toPlainText();
      Type(editor, {"Bob", "555 0123", "Offer v2", "A new message", {"cForReview"}});
      Child<QPushButton>(editor, "OkButton")->click();
    });
    Action("mnuEdit")->trigger();
    QTRY_COMPARE(Field(1, "SUBJECT"), QString("Offer v2"));
    QCOMPARE(templateShown, QString("tv0003.fct"));
    QCOMPARE(flagsShown, QStringList{"cUrgent"});
    QCOMPARE(messageShown, QString("Cover for the offer"));
    QCOMPARE(Field(1, "FAXCOVER"), QString("COV00000.APF"));
    QVERIFY(!std::filesystem::exists(Send("COV00001.APF")));
    QVERIFY(home_->Read("SEND/COV00000.APF") != before);
    QCOMPARE(PageCount(Send("COV00000.APF")), 1);
    QCOMPARE(home_->Read("SEND/COV00000.fcd"), std::string("tv0003.fct\nXX   \nA new message\n"));
  }

  void editorAsksForWhatItNeedsAndEnterMovesOn() {
    TCreateEditQuickFax editor;
    editor.show();
    editor.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&editor));
    auto* recipient = Child<QLineEdit>(&editor, "Recipient");
    recipient->setFocus();
    QTest::keyClick(recipient, Qt::Key_Return);
    QCOMPARE(editor.focusWidget(), Child<QLineEdit>(&editor, "RecipientFax"));
    QVERIFY(editor.isVisible());

    auto save = [&](const Typed& typed) {
      Type(&editor, typed);
      QString message;
      test::AnswerMessageBox(QMessageBox::Ok, &message);
      Child<QPushButton>(&editor, "OkButton")->click();
      return message;
    };
    QCOMPARE(save({"", "555", "Re", ""}), QString("Please enter a recipient"));
    QCOMPARE(editor.focusWidget(), recipient);
    QCOMPARE(save({"Jane", "", "Re", ""}), QString("Please enter a recipient fax number"));
    QCOMPARE(save({"Jane", "555", "", "  "}),
             QString("Please enter text for the \"regarding\" field\nand/or enter a message"));
    QCOMPARE(editor.focusWidget(), Child<QLineEdit>(&editor, "Regarding"));
    QVERIFY(editor.isVisible());
    // A message alone is enough.
    Type(&editor, {"Jane", "555", "", "Hello"});
    Child<QPushButton>(&editor, "OkButton")->click();
    QCOMPARE(editor.result(), int(QDialog::Accepted));
  }

  void chooserShowsPreviewAndDescription() {
    InstallCoverTemplates(CoversFolder());
    std::filesystem::remove(home_->File("Covers/tv0004.bmp"));
    TPreviewQuickFaxForms chooser;
    chooser.SetFolder(CoversFolder(), "TV0002.FCT");
    chooser.show();
    auto* list = Child<QListWidget>(&chooser, "FileListBox");
    auto* preview = Child<QLabel>(&chooser, "Preview");
    auto* description = Child<QLabel>(&chooser, "DescriptionPanel");
    QCOMPARE(list->count(), 4);
    QTRY_COMPARE(list->currentItem()->text(), QString("tv0002.fct"));
    QCOMPARE(description->text() + "\n", QString::fromStdString(home_->Read("Covers/tv0002.des")));
    QVERIFY(!preview->pixmap().isNull());

    QString message;
    test::AnswerMessageBox(QMessageBox::Ok, &message);
    list->setCurrentRow(3);
    QCOMPARE(message, QString("Image not available"));
    QVERIFY(preview->pixmap().isNull());
    QVERIFY(description->text().startsWith("Business"));
    Child<QPushButton>(&chooser, "OkButton")->click();
    QCOMPARE(chooser.result(), int(QDialog::Accepted));
    QCOMPARE(chooser.FileName(), QString("tv0004.fct"));

    // With nothing to choose Ok does nothing (but beep).
    test::TempDir empty;
    TPreviewQuickFaxForms none;
    none.SetFolder(empty.Path(), "tv0001.fct");
    none.show();
    Child<QPushButton>(&none, "OkButton")->click();
    QVERIFY(none.isVisible());
    QCOMPARE(none.result(), int(QDialog::Rejected));
  }

  // A damaged template is refused by name: nothing is written and the
  // editor comes back with what was typed.
  void damagedTemplateIsRefusedAndWritesNothing() {
    Open();
    home_->Write("Covers/tv0001.fct", "\x01\x07not a template");
    QString message;
    SaveRefusedNewCover(message);
    QVERIFY2(message.contains("tv0001.fct cannot be used: element 1 (at byte 1) cannot be read"), qPrintable(message));
    QVERIFY(std::filesystem::is_empty(home_->File("SEND")));
  }

  void unwritableSendFolderLeavesNoRow() {
    std::filesystem::remove_all(home_->File("SEND"));
    home_->Write("SEND", "a file where the folder should be");
    Open();
    QString message;
    SaveRefusedNewCover(message);
    QVERIFY2(message.startsWith("Cannot write the cover sheet"), qPrintable(message));
  }
};

TV_REGISTER_QTEST(CoverSheetTest)

}  // namespace tv

#include "cover_sheet_test.moc"

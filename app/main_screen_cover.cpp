// Cover sheets on the outgoing list: "&New" makes a one-page fax from a
// template, "Add C&over" puts a cover page in front of a fax, and Edit of a
// fax that has a cover reopens the cover-sheet editor on it.
#include <cstdio>
#include <optional>

#include "app/main_screen.h"
#include "app/phone_book.h"
#include "app/preferences.h"
#include "app/table_model.h"
#include "app/working_fax.h"
#include "cover/cover_data.h"
#include "cover/cover_drawing.h"
#include "cover/cover_editor.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

void TMainScreen::NewbuttonClick() { EditAddQuickFax(true); }

void TMainScreen::AddCoverButtonClick() { EditAddQuickFax(false); }

void TMainScreen::EditAddQuickFax(bool isNew) {
  const std::uint32_t recno = isNew ? 0 : SelectedRecNo(Tab::kOutgoing);
  if (receiveMode_ || (!isNew && !GoToRecNo(faxXbase_, recno))) {
    Beep();
    return;
  }
  TCreateEditQuickFax editor(this);
  CenterForm(&editor);
  editor.SetPhoneBookChooser(&TPhoneBook::Choose);
  editor.SetSenderInfoEditor(
      [](QWidget* parent) { return TPreferences::Edit(parent, false, TPreferences::Scope::kSenderInfo); });
  // An existing cover is redrawn into its own file, from its data file when
  // that is there (else from the default template, no flags, no message).
  std::string keptCover;
  if (!isNew) {
    const QString cover = FieldText(faxXbase_, "FAXCOVER");
    const std::optional<std::string> coverPath = FaxFilePath(SendFolder(), cover);
    if (!coverPath) {
      ShowDamagedRecord("FAXCOVER", cover);
      return;
    }
    keptCover = *coverPath;
    if (!keptCover.empty()) {
      if (const auto data = ReadCoverData(CoverDataPath(keptCover))) editor.SetCover(*data);
    }
    editor.SetInformation({FieldText(faxXbase_, "RECIPIENT"), FieldText(faxXbase_, "PHONE"),
                           FieldText(faxXbase_, "SUBJECT"), FieldText(faxXbase_, "NOTES"),
                           FieldText(faxXbase_, "CODES")});
  }
  // A cover that cannot be saved leaves the editor open with all that was typed.
  std::optional<std::uint32_t> saved;
  while (!saved && editor.exec() == QDialog::Accepted) saved = SaveQuickFax(editor, recno, keptCover);
  if (!saved) return;
  if (isNew) FaxTableCloseAndOpen();
  RefreshGrid(Tab::kOutgoing, *saved);
  SetButtons();
}

std::optional<std::uint32_t> TMainScreen::SaveQuickFax(const TCreateEditQuickFax& editor, std::uint32_t recno,
                                                       const std::string& keptCover) {
  if (recno != 0 && !GoToRecNo(faxXbase_, recno)) {
    ShowInformation("The fax was removed from the list while its cover sheet was being edited.");
    return 0;
  }
  const FaxInformation info = editor.Information();
  const CoverData cover = editor.Cover();
  const TCoverValues values = CoverValuesNow(Settings(), info.Subject, info.Recipient, info.FaxNumber, cover.Flags);
  std::string coverPath;
  std::string note;
  try {
    coverPath = RenderCoverSheet(keptCover, FindNoCase(CoversFolder(), cover.TemplateName.toStdString()), values,
                                 cover.Message, &note);
  } catch (const std::runtime_error& e) {  // CoverTemplateError, CoverWriteError
    ShowInformation(QString::fromStdString(e.what()));
    return std::nullopt;
  }
  if (!note.empty()) ShowInformation("The cover template " + cover.TemplateName + ": " + QString::fromStdString(note));
  // The data file is written before the row names the cover, so that no row
  // points at a cover that cannot be edited again; a cover made here goes
  // again when its row cannot be written.
  const std::string dataPath = CoverDataPath(coverPath);
  auto dropNewCover = [&] {
    if (!keptCover.empty()) return;
    std::remove(coverPath.c_str());
    std::remove(dataPath.c_str());
  };
  if (!WriteCoverData(dataPath, cover)) {
    dropNewCover();
    ShowInformation("Cannot write the cover sheet's data file " + QString::fromStdString(dataPath));
    return std::nullopt;
  }
  std::optional<std::uint32_t> stored;
  RunRecordAction([&] {
    if (recno == 0) {
      faxXbase_.NewRecord();
    } else {
      GoToRecNo(faxXbase_, recno);
    }
    faxXbase_.SetField("RECIPIENT", ToTableText(info.Recipient));
    faxXbase_.SetField("SUBJECT", ToTableText(info.Subject));
    faxXbase_.SetField("PHONE", ToTableText(info.FaxNumber));
    faxXbase_.SetField("NOTES", ToTableText(info.Notes));
    faxXbase_.SetField("CODES", ToTableText(info.Codes));
    faxXbase_.SetField("FAXCOVER", coverPath.substr(coverPath.rfind('/') + 1));
    if (recno == 0) {
      stored = faxXbase_.Append();
    } else {
      faxXbase_.Modify();
      stored = recno;
    }
  });
  if (!stored) dropNewCover();
  return stored;
}

}  // namespace tv

// The search box over the lists: faxes found by their fields and by the
// text recognised on their pages.
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QTableView>
#include <algorithm>

#include "app/main_screen.h"
#include "app/table_model.h"
#include "export/fax_ocr.h"
#include "platform/paths.h"

namespace tv {

QString TMainScreen::SearchableText(Tab tab, int row) {
  const TableModel* model = tab == Tab::kOutgoing ? faxModel_ : recModel_;
  QStringList parts;
  for (int column = 0; column < model->columnCount(); ++column) parts << model->index(row, column).data().toString();
  TXbase& table = tab == Tab::kOutgoing ? faxXbase_ : recXbase_;
  if (GoToRecNo(table, model->RecNoAt(row))) {
    const bool outgoing = tab == Tab::kOutgoing;
    const std::optional<std::string> file =
        FaxFilePath(outgoing ? SendFolder() : ReceiveFolder(), FieldText(table, outgoing ? "FAXDOC" : "FAXFILE"));
    if (file && !file->empty()) parts << QString::fromStdString(OcrText(LoadOcr(OcrFilePath(*file))));
  }
  return parts.join('\n');
}

void TMainScreen::FindFaxes(const QString& search) {
  const Tab tab = CurrentTab();
  QTableView* grid = CurrentGrid();
  const QStringList words = search.split(' ', Qt::SkipEmptyParts);
  if (words.isEmpty()) return;
  QItemSelection found;
  int first = -1;
  for (int row = 0; row < grid->model()->rowCount(); ++row) {
    const QString text = SearchableText(tab, row);
    const bool all = std::all_of(words.begin(), words.end(),
                                 [&](const QString& word) { return text.contains(word, Qt::CaseInsensitive); });
    if (!all) continue;
    found.select(grid->model()->index(row, 0), grid->model()->index(row, grid->model()->columnCount() - 1));
    if (first < 0) first = row;
  }
  if (first < 0) {
    ShowStatusPanel("No fax holds \"" + search + "\"");
    return;
  }
  HideStatusPanel();
  grid->selectionModel()->setCurrentIndex(grid->model()->index(first, 0), QItemSelectionModel::NoUpdate);
  grid->selectionModel()->select(found, QItemSelectionModel::ClearAndSelect);
  grid->scrollTo(grid->model()->index(first, 0));
}

}  // namespace tv

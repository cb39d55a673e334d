#include "app/table_model.h"

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>
#include <QDate>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLocale>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolTip>
#include <memory>

#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

QString DisplayText(const FieldData& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return FromTableText(*text);
  // Dates in the user's own format; the table keeps its own.
  if (const auto* date = std::get_if<CivilDate>(&value)) {
    return QLocale().toString(QDate(date->year, date->month, date->day), QLocale::ShortFormat);
  }
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "T" : "F";
  if (const auto* number = std::get_if<int>(&value)) return QString::number(*number);
  return QString::number(std::get<double>(value));
}

}  // namespace

QString FromTableText(const std::string& text) { return QString::fromStdString(Cp1252ToUtf8(text)); }

std::string ToTableText(const QString& text) {
  std::string unfit;
  const std::optional<std::string> stored = Utf8ToCp1252(text.toStdString(), &unfit);
  if (!stored)
    throw XbaseError(xbBadField, "\"" + text.toStdString() + "\" holds the character " + unfit +
                                     ", which the fax lists cannot store (they hold Western European text)");
  return *stored;
}

void RunRecordAction(const std::function<void()>& change) {
  try {
    change();
  } catch (const XbaseError& e) {
    ShowInformation(QString::fromLocal8Bit(e.what()));
  }
}

std::optional<std::string> FaxFilePath(const std::string& folder, const QString& name) {
  if (name.isEmpty()) return std::string();
  const std::string plain = name.toStdString();
  if (!IsPlainFileName(plain)) return std::nullopt;
  return FindNoCase(folder, plain);
}

void ShowDamagedRecord(const QString& field, const QString& name) {
  ShowInformation("This fax's record is damaged: " + field + " holds \"" + name +
                  "\", which is not a file name in the fax folder. No file was touched.");
}

void SizeColumns(QTableView* grid, const TableModel& model) {
  QHeaderView* header = grid->horizontalHeader();
  const QFontMetrics metrics = grid->fontMetrics();
  const int digit = metrics.horizontalAdvance('0');
  // The first screenful of rows tells what the columns hold (the grid reads
  // rows only as they are shown); an empty list gets the fields' widths.
  const int rows = model.HasRecords() ? std::min(model.rowCount(), 50) : 0;
  for (int c = 0; c < model.columnCount(); ++c) {
    const int widest = digit * model.Columns()[static_cast<std::size_t>(c)].displayWidth;
    int content = rows == 0 ? widest : 0;
    for (int r = 0; r < rows; ++r) {
      content = std::max(content, metrics.horizontalAdvance(model.index(r, c).data().toString()));
    }
    grid->setColumnWidth(c, std::max(std::min(content, widest) + 12, header->sectionSizeHint(c)));
  }
}

namespace {

// Cells too narrow for their text show the whole text as their tooltip; a
// tooltip of the row's own (a damaged record's) comes first.
class CutTextTips : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    if (event->type() != QEvent::ToolTip || !index.data(Qt::ToolTipRole).isNull()) {
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString text = index.data(Qt::DisplayRole).toString();
    // The text's own width with the margins a cell draws it in.
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    if (!text.isEmpty() && option.fontMetrics.horizontalAdvance(text) + 2 * margin > option.rect.width()) {
      QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    } else {
      QToolTip::hideText();
    }
    return true;
  }
};

}  // namespace

QTableView* NewGrid(QWidget* parent, const char* objectName) {
  auto* grid = new QTableView(parent);
  grid->setItemDelegate(new CutTextTips(grid));
  // The last column takes the room the others leave.
  grid->horizontalHeader()->setStretchLastSection(true);
  grid->setObjectName(objectName);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
  return grid;
}

int FullWidth(const QTableView* grid) {
  const int header = grid->verticalHeader()->isVisible() ? grid->verticalHeader()->width() : 0;
  return grid->horizontalHeader()->length() + header + grid->verticalScrollBar()->sizeHint().width() +
         2 * grid->frameWidth();
}

std::vector<TableModel::Column> VisibleColumns(const FaxTableLayout& layout) {
  std::vector<TableModel::Column> columns;
  for (const FaxFieldLayout& f : layout.fields) {
    if (f.displayWidth < 0) continue;
    // Dates show in the locale's format, as wide as yyyy-mm-dd at most.
    const int shown = f.type == 'D' ? 10 : f.width;
    const Qt::Alignment alignment = (f.type == 'N' ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
    columns.push_back({f.name, f.title, f.displayWidth == 0 ? shown : f.displayWidth, alignment});
  }
  return columns;
}

std::vector<TableModel::Column> OutgoingColumns() {
  std::vector<TableModel::Column> columns;
  const std::vector<TableModel::Column> visible = VisibleColumns(OutgoingTableLayout());
  for (const char* field : {"DATESENT", "TIMESENT", "PHONE", "RECIPIENT", "SUBJECT", "LASTRESULT", "NOTES", "CODES"}) {
    for (const auto& c : visible) {
      if (c.field == field) columns.push_back(c);
    }
  }
  return columns;
}

TableModel::TableModel(TXbase& table, std::vector<Column> columns, QObject* parent)
    : QAbstractTableModel(parent), table_(table), columns_(std::move(columns)) {
  if (!table_.Active()) return;
  const DbfTable& fields = table_.Area().Table();
  hasArchived_ = fields.FieldIndex("ARCHIVED") >= 0;
  for (const DbfField& f : fields.Fields())
    if (IsFileNameField(f.name)) fileNameFields_.push_back(f.name);
}

void TableModel::Failed(const XbaseError& error) const { error_ = QString::fromStdString(error.what()); }

int TableModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !table_.Active()) return 0;
  if (error_.isEmpty()) {
    try {
      return static_cast<int>(table_.RowCount());
    } catch (const XbaseError& e) {
      Failed(e);
    }
  }
  return 1;
}

int TableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

const TableModel::Row* TableModel::ReadRow(int row) const {
  if (const Row* cached = rows_.object(row)) return cached;
  if (!table_.Active() || row < 0 || !error_.isEmpty()) return nullptr;
  auto read = std::make_unique<Row>();
  try {
    if (!table_.GoToRow(static_cast<std::uint32_t>(row))) return nullptr;
    read->recno = table_.RecordNumber();
    for (const Column& c : columns_) {
      if (c.computed) {
        read->texts.append(c.computed(table_));
        continue;
      }
      const auto value = table_.Field(c.field);
      read->texts.append(value ? DisplayText(*value) : QString());
    }
    if (hasArchived_) {
      const auto archived = table_.Field("ARCHIVED");
      read->archived = archived && std::get<bool>(*archived);
    }
    for (const std::string& field : fileNameFields_) {
      const auto value = table_.Field(field);
      const QString name = value ? FromTableText(std::get<std::string>(*value)) : QString();
      if (!name.isEmpty() && !IsPlainFileName(name.toStdString()))
        read->damage = "This record is damaged: " + QString::fromStdString(field) + " holds \"" + name +
                       "\", which is not a file name in the fax folder.";
    }
  } catch (const XbaseError& e) {
    Failed(e);
    return nullptr;
  }
  const Row* kept = read.get();
  rows_.insert(row, read.release());
  return kept;
}

QVariant TableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const Row* row = ReadRow(index.row());
  if (!row) {
    // The one row of a table that could not be read says why.
    if (!error_.isEmpty() && index.row() == 0 && (role == Qt::DisplayRole || role == Qt::ToolTipRole))
      return index.column() == 0 || role == Qt::ToolTipRole ? error_ : QString();
    return {};
  }
  switch (role) {
    case Qt::DisplayRole:
      return row->texts.value(index.column());
    case Qt::TextAlignmentRole:
      return QVariant(columns_[static_cast<std::size_t>(index.column())].alignment);
    case Qt::ForegroundRole:
      // Colours of the desktop's palette, readable in light and dark themes:
      // archived rows dimmed (selected cells keep the highlighted text
      // colour), a damaged row in the colours of a tooltip, which stands out.
      if (!row->damage.isEmpty()) return QGuiApplication::palette().brush(QPalette::ToolTipText);
      return row->archived ? QGuiApplication::palette().brush(QPalette::PlaceholderText) : QVariant();
    case Qt::BackgroundRole:
      return row->damage.isEmpty() ? QVariant() : QVariant(QGuiApplication::palette().brush(QPalette::ToolTipBase));
    case Qt::FontRole: {
      if (!row->archived) return {};
      QFont italic = QGuiApplication::font();
      italic.setItalic(true);
      return italic;
    }
    case Qt::ToolTipRole:
      return row->damage.isEmpty() ? QVariant() : QVariant(row->damage);
    default:
      return {};
  }
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
  if (section < 0 || section >= static_cast<int>(columns_.size())) return {};
  return columns_[static_cast<std::size_t>(section)].title;
}

int TableModel::ColumnOfField(const std::string& field) const {
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].field == field) return static_cast<int>(i);
  }
  return -1;
}

std::uint32_t TableModel::RecNoAt(int row) const {
  const Row* read = ReadRow(row);
  return read ? read->recno : 0;
}

int TableModel::RowOf(std::uint32_t recno) const {
  const int rows = rowCount();
  for (int row = 0; row < rows; ++row) {
    if (RecNoAt(row) == recno) return row;
  }
  return -1;
}

void TableModel::Reload() {
  beginResetModel();
  rows_.clear();
  error_.clear();
  endResetModel();
}

}  // namespace tv

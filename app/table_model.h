// A grid's view of a table: rows are the visible records in the table's
// current order and filter, read on demand through TXbase, so a table of any
// size opens at once and only the rows on screen are read.
#pragma once

#include <QAbstractTableModel>
#include <QCache>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QTableView;

#include "store/fax_tables.h"

namespace tv {

// Table texts are stored in the 1252 code page the tables declare. Text
// with a character the code page has no place for raises XbaseError
// (xbBadField) naming it, rather than being stored as something else.
QString FromTableText(const std::string& text);
std::string ToTableText(const QString& text);

// Runs a change to records; a table error is shown to the user and ends the
// change, and nothing else is lost.
void RunRecordAction(const std::function<void()>& change);

// The path of the fax file a record names in its folder ("" when the field
// is empty); nullopt when the record holds something other than a plain file
// name there (a damaged or hostile record), so that nothing outside the
// folder is ever touched.
std::optional<std::string> FaxFilePath(const std::string& folder, const QString& name);
// Tells the user that a record's file field is damaged and nothing was touched.
void ShowDamagedRecord(const QString& field, const QString& name);

class TableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  struct Column {
    std::string field;
    QString title;
    int displayWidth;  // characters
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    // A column of what is kept beside the table: its text for the record
    // the table stands on (`field` is then empty).
    std::function<QString(TXbase& table)> computed = {};
  };

  // Columns in their default display order. Rows whose ARCHIVED field is
  // true (when the table has one) are drawn in red; rows whose fax file
  // names are not plain names in their folder are marked as damaged. When
  // the table cannot be read, the grid shows one row saying why.
  TableModel(TXbase& table, std::vector<Column> columns, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  const std::vector<Column>& Columns() const { return columns_; }
  int ColumnOfField(const std::string& field) const;  // -1 if none

  // Whether the grid shows records (and not the row of a read error).
  bool HasRecords() const { return rowCount() > 0 && error_.isEmpty(); }
  // Record number shown in a row; 0 for none.
  std::uint32_t RecNoAt(int row) const;
  // The row showing a record, or -1 when it is not visible.
  int RowOf(std::uint32_t recno) const;

  // Re-reads everything (after records, order or filter changed).
  void Reload();

 private:
  struct Row {
    std::uint32_t recno = 0;
    QStringList texts;
    bool archived = false;
    QString damage;  // why the record cannot be trusted; empty when it can
  };
  const Row* ReadRow(int row) const;
  // A table error while the grid reads: remembered and shown as its one row.
  void Failed(const XbaseError& error) const;

  TXbase& table_;
  std::vector<Column> columns_;
  bool hasArchived_ = false;
  std::vector<std::string> fileNameFields_;
  mutable QCache<int, Row> rows_{2000};
  mutable QString error_;
};

// Sets each column's width from its display width in characters, and never
// narrower than its title.
void SizeColumns(QTableView* grid, const TableModel& model);

// A grid of whole rows, read-only, with the program's row height.
QTableView* NewGrid(QWidget* parent, const char* objectName);
// The width a grid needs to show all its columns without scrolling sideways.
int FullWidth(const QTableView* grid);

// The columns of a table's fields that the grid shows, in table order.
std::vector<TableModel::Column> VisibleColumns(const FaxTableLayout& layout);
// The outgoing grid's default order: Date Sent, Time Sent, Fax#, Recipient,
// Subject, Last Attempt, Notes, Codes.
std::vector<TableModel::Column> OutgoingColumns();

}  // namespace tv

// The incoming list's rows as the window stored them in TVREC.DBF.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "store/fax_tables.h"

namespace tv::test {

struct ReceivedRow {
  QString from;
  int pages = 0;
  std::string file;
};

inline std::vector<ReceivedRow> ReceivedRows(TXbase& table) {
  std::vector<ReceivedRow> rows;
  for (std::uint32_t recno = 1; recno <= table.RecordCount(); ++recno) {
    table.GoToRecord(recno);
    ReceivedRow row;
    if (const auto from = table.Field("FROM")) row.from = QString::fromStdString(std::get<std::string>(*from)).trimmed();
    if (const auto pages = table.Field("PAGES")) row.pages = std::get<int>(*pages);
    if (const auto file = table.Field("FAXFILE")) row.file = QString::fromStdString(std::get<std::string>(*file)).trimmed().toStdString();
    rows.push_back(row);
  }
  return rows;
}

}  // namespace tv::test

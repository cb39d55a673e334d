// The program's three tables: TVOUT (outgoing faxes), TVREC (received
// faxes) and TVPB (the phone book), each a FoxPro table with a structural
// .CDX in the program folder; how they are created and opened, and the
// rebuild that packs them and builds their tags again.
//
// The grids read them through TXbase: select an order (SelectOrder with
// TagOrder of a tag name), set the filter, then GoToRow(row) and Field(name)
// per visible row; RowCount gives the scroll range. Rows near the last one
// read cost a short walk along the order.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "store/txbase.h"

namespace tv {

struct FaxFieldLayout {
  const char* name;
  char type;
  int width;
  int decimals;
  const char* title;  // grid column title
  int displayWidth;   // grid display width; 0 = the field width, -1 = hidden
};

struct FaxTagLayout {
  const char* name;
  const char* key;
  bool descending;
};

struct FaxTableLayout {
  const char* name;      // "TVOUT"
  const char* fileName;  // "TVOUT.DBF"
  const char* what;      // "FAX", "RECEIVE", "PHONE": the rebuild's status texts
  std::span<const FaxFieldLayout> fields;
  std::span<const FaxTagLayout> tags;  // created in this order: order 1 is the first
};

// Every tag of the fax tables has this condition.
inline constexpr const char* kNotDeletedCondition = ".not. deleted()";
// Filters of the grids.
inline constexpr const char* kArchiveFilter = ".not. archived";
inline constexpr const char* kArchiveFilterAgain = ".not. ARCHIVED";
inline constexpr const char* kNotDeletedFilter = ".not. deleted()";

// The fields that name a fax file in the table's folder (FAXDOC, FAXCOVER,
// FAXFILE): a plain file name, never a path (IsPlainFileName).
bool IsFileNameField(std::string_view field);

const FaxTableLayout& OutgoingTableLayout();
const FaxTableLayout& ReceivedTableLayout();
const FaxTableLayout& PhoneTableLayout();
// By name ("TVOUT", "tvrec", ...); null for others.
const FaxTableLayout* FaxTableNamed(std::string_view name);

// The table's .DBF path in `folder` (letter case of existing files kept).
std::string FaxTablePath(const FaxTableLayout& layout, const std::string& folder);
std::string FaxIndexPath(const FaxTableLayout& layout, const std::string& folder);

// Creates the table file when missing (no tags); true when it exists after.
bool MakeFaxTable(const FaxTableLayout& layout, const std::string& folder);

// Opening: create the table when its .DBF is missing, open it, build the
// index when the .CDX is missing, then apply the order and filter. An index
// that is damaged, was left half-written or lacks one of the table's tags is
// built again whole; `problem` (when given) then receives the reason, and
// what is wrong with a table that was cut short (which is read but not
// written until RepairFaxTable mends it). Returns false only when the table
// could not be created or opened.
bool OpenOutgoingTable(TXbase& table, const std::string& folder, std::string* problem = nullptr);
bool OpenRecFaxDBF(TXbase& table, const std::string& folder, std::string* problem = nullptr);
bool OpenPhoneTable(TXbase& table, const std::string& folder, bool exclusive, std::string* problem = nullptr);

// The same for any of the three (exclusive or shared), as the command-line
// tool uses them.
bool OpenFaxTable(TXbase& table, const FaxTableLayout& layout, const std::string& folder, bool exclusive,
                  std::string* problem = nullptr);

// Reopens the outgoing table after records were added behind its back,
// keeping its filter, order and record (when that still exists). False when
// it could not be opened again (`problem`, when given, then says why).
bool FaxTableCloseAndOpen(TXbase& table, const std::string& folder, std::string* problem = nullptr);

// Progress of the rebuild: a status text ("" clears it) and a gauge value.
using RebuildProgress = std::function<void(const std::string& status, int percent)>;

// "Rebuild Indexes": packs each table and creates its tags again, keeping
// the current order of the outgoing and received tables. The phone table is
// opened exclusively for the work and closed again. Throws XbaseError on
// failure, leaving the tables already rebuilt rebuilt.
void RebuildIndexes(TXbase& outgoing, TXbase& received, TXbase& phone, const std::string& folder,
                    const RebuildProgress& progress);

// The tags a fax table needs.
std::vector<TagDefinition> RequiredTags(const FaxTableLayout& layout);

// What is wrong with the table file itself (a table cut short), found
// without writing anything; empty when nothing is.
std::string FaxTableDamage(const FaxTableLayout& layout, const std::string& folder);

// What is wrong with a table and its index, found without writing anything.
struct TableCheck {
  std::string fault;  // empty when both are sound
  // The only fault is an index that needs building again without being
  // damaged (a stopped writer's "being changed" mark, an older version's
  // letter-case rule): opening rebuilds it without a word.
  bool onlyStale = false;
};
TableCheck CheckFaxTable(const FaxTableLayout& layout, const std::string& folder);

// The repair of a table that was cut short or whose index cannot be
// trusted: when either is faulty, copies of both files are first kept beside
// the table (their names followed by ".damaged-yyyymmdd-hhmmss"), then the
// whole records are kept and the index is built again. Returns what was
// wrong; empty when the table was sound (the index is built again all the
// same). The table must not be open elsewhere.
std::string RepairFaxTable(const FaxTableLayout& layout, const std::string& folder);

// The rebuild of one open table (exclusive): pack, then its tags.
void RebuildTable(TXbase& table, const FaxTableLayout& layout, const RebuildProgress& progress);

}  // namespace tv

// tvfax db: the fax tables in a folder from the command line.
#include <charconv>
#include <filesystem>
#include <iostream>
#include <map>

#include "cli/commands.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "store/fax_tables.h"
#include "store/field_codec.h"
#include "store/xb_engine.h"

namespace tv::cli {

namespace {

constexpr const char* kDbUsage =
    "usage: tvfax db init DIR\n"
    "       tvfax db list DIR TABLE [--tag TAG] [--filter EXPR] [--all]\n"
    "       tvfax db add DIR TABLE FIELD=VALUE...\n"
    "       tvfax db set DIR TABLE RECNO FIELD=VALUE...\n"
    "       tvfax db delete DIR TABLE RECNO\n"
    "       tvfax db pack DIR TABLE\n"
    "       tvfax db reindex DIR TABLE\n"
    "TABLE is TVOUT, TVREC or TVPB";

int Fail(const std::string& message) {
  std::cerr << "tvfax: " << message << "\n";
  return 1;
}

// Ends the table layer however the command ends.
struct Layer {
  Layer() { LayerStart(); }
  ~Layer() { LayerEnd(); }
};

const FaxTableLayout* TableArgument(const std::string& name) { return FaxTableNamed(name); }

bool ExistingTable(const FaxTableLayout& layout, const std::string& dir) {
  return FileExists(FaxTablePath(layout, dir));
}

std::optional<std::uint32_t> RecordNumber(const std::string& text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

// FIELD=VALUE arguments checked against the table before anything changes.
struct Assignment {
  const DbfField* field;
  XValue value;
};

std::vector<Assignment> ParseAssignments(const FaxTableLayout& layout, const DbfTable& table,
                                         Args::const_iterator begin, Args::const_iterator end) {
  std::vector<Assignment> out;
  for (auto it = begin; it != end; ++it) {
    const auto eq = it->find('=');
    if (eq == std::string::npos || eq == 0) throw XbaseError(xbBadArgument, "expected FIELD=VALUE, not '" + *it + "'");
    const std::string name = it->substr(0, eq);
    std::string text = it->substr(eq + 1);
    const int index = table.FieldIndex(name);
    if (index < 0) throw XbaseError(xbBadField, std::string(layout.name) + " has no field " + name);
    const DbfField& field = table.Fields()[static_cast<std::size_t>(index)];
    if (field.type == 'C') {
      // The table holds its text in the 1252 code page; the command line speaks UTF-8.
      const std::optional<std::string> stored = Utf8ToCp1252(text);
      if (!stored) throw XbaseError(xbBadField, "the value for " + field.name + " " + Cp1252Refusal(text));
      if (IsFileNameField(field.name) && !stored->empty() && !IsPlainFileName(text))
        throw XbaseError(xbBadField, field.name + " names a file in the table's folder, not a path: '" + text + "'");
      text = *stored;
    }
    const std::optional<XValue> value = ParseFieldText(field, text);
    if (!value)
      throw XbaseError(xbBadField, "'" + it->substr(eq + 1) + "' is not a valid value for " + field.name + " (" +
                                       std::string(1, field.type) + " " + std::to_string(field.width) + ")");
    out.push_back({&field, *value});
  }
  return out;
}

// A table cut short is reported before anything is done with it: the table
// alone is looked at, so that nothing, not even its index, changes.
void RefuseDamagedTable(const FaxTableLayout& layout, const std::string& dir, bool writing) {
  const std::string damage = FaxTableDamage(layout, dir);
  if (!damage.empty())
    throw XbaseError(xbBadTable, damage + (writing ? "; nothing was written" : "") +
                                     " (tvfax db reindex repairs it, keeping a copy of the damaged files)");
}

// Opens one of the fax tables for a command; the table must exist. A command
// that writes refuses a table that was cut short.
void OpenForCommand(TXbase& table, const FaxTableLayout& layout, const std::string& dir, bool exclusive) {
  if (!ExistingTable(layout, dir))
    throw XbaseError(xbOpenFailed, FaxTablePath(layout, dir) + " does not exist (tvfax db init creates it)");
  RefuseDamagedTable(layout, dir, true);
  std::string problem;
  if (!OpenFaxTable(table, layout, dir, exclusive, &problem)) throw XbaseError(xbOpenFailed, problem);
  if (!problem.empty()) std::cerr << "tvfax: " << problem << " (rebuilt)\n";
}

int Init(const Args& args) {
  if (args.size() != 1) return UsageError(kDbUsage);
  const std::string dir = args[0];
  if (!std::filesystem::is_directory(dir)) return Fail(dir + " is not a folder");
  for (const FaxTableLayout* layout : {&OutgoingTableLayout(), &ReceivedTableLayout(), &PhoneTableLayout()}) {
    const bool existed = ExistingTable(*layout, dir);
    TXbase table;
    std::string problem;
    if (!OpenFaxTable(table, *layout, dir, true, &problem)) return Fail(problem);
    if (!existed) std::cout << "created " << layout->fileName << "\n";
    else if (!problem.empty()) std::cout << "rebuilt the tags of " << layout->fileName << ": " << problem << "\n";
  }
  return 0;
}

int List(const FaxTableLayout& layout, const std::string& dir, const Args& options) {
  std::string tag;
  std::string filter;
  bool all = false;
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (options[i] == "--all") {
      all = true;
    } else if ((options[i] == "--tag" || options[i] == "--filter") && i + 1 < options.size()) {
      (options[i] == "--tag" ? tag : filter) = options[i + 1];
      ++i;
    } else {
      return UsageError(kDbUsage);
    }
  }
  TXbaseEnv env;
  env.SetDeleted(!all);
  if (!ExistingTable(layout, dir)) return Fail(FaxTablePath(layout, dir) + " does not exist");
  RefuseDamagedTable(layout, dir, false);
  TXbase table;
  table.Open(FaxTablePath(layout, dir), false, true);
  int order = 0;
  if (!tag.empty()) {
    order = table.TagOrder(tag);
    if (order == 0) return Fail(std::string(layout.name) + " has no tag " + tag);
  }
  table.SelectOrder(order);
  const std::optional<std::string> stored = Utf8ToCp1252(filter);
  if (!stored) return Fail("the filter " + Cp1252Refusal(filter));
  table.SetFilter(*stored);
  WorkArea& area = table.Area();
  const auto& fields = area.Table().Fields();
  for (area.GoTop(); !area.Eof(); area.Skip(1)) {
    std::string line = std::to_string(area.RecNo());
    for (const DbfField& f : fields) line += "\t" + Cp1252ToUtf8(StoredText(f, area.Record().data()));
    if (all) line += area.Deleted() ? "\t*" : "\t";
    std::cout << line << "\n";
  }
  return 0;
}

int Add(const FaxTableLayout& layout, const std::string& dir, const Args& args) {
  if (args.empty()) return UsageError(kDbUsage);
  TXbase table;
  OpenForCommand(table, layout, dir, false);
  WorkArea& area = table.Area();
  const std::vector<Assignment> assignments = ParseAssignments(layout, area.Table(), args.begin(), args.end());
  std::vector<char> record(area.Record().size(), ' ');
  for (const Assignment& a : assignments) WriteField(*a.field, record.data(), a.value);
  const std::uint32_t recno = area.Append(record.data());
  area.Commit();
  std::cout << recno << "\n";
  return 0;
}

int Set(const FaxTableLayout& layout, const std::string& dir, const Args& args) {
  if (args.size() < 2) return UsageError(kDbUsage);
  const auto recno = RecordNumber(args[0]);
  if (!recno) return Fail("'" + args[0] + "' is not a record number");
  TXbase table;
  OpenForCommand(table, layout, dir, false);
  WorkArea& area = table.Area();
  const std::vector<Assignment> assignments = ParseAssignments(layout, area.Table(), args.begin() + 1, args.end());
  if (*recno > area.RecCount())
    return Fail(std::string(layout.name) + " has no record " + args[0] + " (it has " + std::to_string(area.RecCount()) + ")");
  area.Go(*recno);
  std::vector<char> record = area.Record();
  for (const Assignment& a : assignments) WriteField(*a.field, record.data(), a.value);
  area.PutRecord(record.data());
  area.Commit();
  return 0;
}

int Delete(const FaxTableLayout& layout, const std::string& dir, const Args& args) {
  if (args.size() != 1) return UsageError(kDbUsage);
  const auto recno = RecordNumber(args[0]);
  if (!recno) return Fail("'" + args[0] + "' is not a record number");
  TXbase table;
  OpenForCommand(table, layout, dir, false);
  WorkArea& area = table.Area();
  if (*recno > area.RecCount())
    return Fail(std::string(layout.name) + " has no record " + args[0] + " (it has " + std::to_string(area.RecCount()) + ")");
  area.Go(*recno);
  area.Delete();
  area.Commit();
  return 0;
}

int Pack(const FaxTableLayout& layout, const std::string& dir) {
  TXbase table;
  OpenForCommand(table, layout, dir, true);
  RebuildTable(table, layout, {});
  return 0;
}

int Reindex(const FaxTableLayout& layout, const std::string& dir) {
  if (!ExistingTable(layout, dir)) return Fail(FaxTablePath(layout, dir) + " does not exist");
  const std::string found = RepairFaxTable(layout, dir);
  if (!found.empty())
    std::cout << "repaired " << layout.fileName << " (copies of the damaged files kept): " << found << "\n";
  return 0;
}

}  // namespace

int DbCommand(const Args& args) {
  if (args.empty()) return UsageError(kDbUsage);
  const std::string& action = args[0];
  try {
    Layer layer;
    if (action == "init") return Init(Args(args.begin() + 1, args.end()));
    static const std::map<std::string, int> kArgsAfterTable = {{"list", -1}, {"add", -1},  {"set", -1},
                                                               {"delete", 1}, {"pack", 0}, {"reindex", 0}};
    const auto known = kArgsAfterTable.find(action);
    if (known == kArgsAfterTable.end() || args.size() < 3) return UsageError(kDbUsage);
    const std::string dir = args[1];
    const FaxTableLayout* layout = TableArgument(args[2]);
    if (!layout) return Fail("unknown table '" + args[2] + "' (TVOUT, TVREC or TVPB)");
    const Args rest(args.begin() + 3, args.end());
    if (known->second >= 0 && static_cast<int>(rest.size()) != known->second) return UsageError(kDbUsage);
    if (action == "list") return List(*layout, dir, rest);
    if (action == "add") return Add(*layout, dir, rest);
    if (action == "set") return Set(*layout, dir, rest);
    if (action == "delete") return Delete(*layout, dir, rest);
    if (action == "pack") return Pack(*layout, dir);
    return Reindex(*layout, dir);
  } catch (const XbaseError& e) {
    return Fail(e.what());
  }
}

}  // namespace tv::cli

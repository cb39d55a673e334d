// tvfax db: the fax tables in a folder from the command line.
#include <charconv>
#include <filesystem>
#include <iostream>
#include <map>

#include "cli/commands.h"
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
  return std::filesystem::exists(FaxTablePath(layout, dir));
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

std::vector<Assignment> ParseAssignments(const FaxTableLayout& layout, const std::vector<DbfField>& fields,
                                         Args::const_iterator begin, Args::const_iterator end) {
  std::vector<Assignment> out;
  for (auto it = begin; it != end; ++it) {
    const auto eq = it->find('=');
    if (eq == std::string::npos || eq == 0) throw XbaseError(xbBadArgument, "expected FIELD=VALUE, not '" + *it + "'");
    const std::string name = it->substr(0, eq);
    const std::string text = it->substr(eq + 1);
    const DbfField* field = nullptr;
    for (const DbfField& f : fields)
      if (f.name.size() == name.size() && std::equal(f.name.begin(), f.name.end(), name.begin(), [](char a, char b) {
            return a == std::toupper(static_cast<unsigned char>(b));
          }))
        field = &f;
    if (!field) throw XbaseError(xbBadField, std::string(layout.name) + " has no field " + name);
    const std::optional<XValue> value = ParseFieldText(*field, text);
    if (!value)
      throw XbaseError(xbBadField, "'" + text + "' is not a valid value for " + field->name + " (" +
                                       std::string(1, field->type) + " " + std::to_string(field->width) + ")");
    out.push_back({field, *value});
  }
  return out;
}

// Opens one of the fax tables for a command; the table must exist.
void OpenForCommand(TXbase& table, const FaxTableLayout& layout, const std::string& dir, bool exclusive) {
  if (!ExistingTable(layout, dir))
    throw XbaseError(xbOpenFailed, FaxTablePath(layout, dir) + " does not exist (tvfax db init creates it)");
  std::string problem;
  if (!OpenFaxTable(table, layout, dir, exclusive, &problem)) throw XbaseError(xbOpenFailed, problem);
  if (!problem.empty()) std::cerr << "tvfax: " << problem << " (rebuilt)\n";
}

WorkArea& AreaOf(TXbase& table) {
  xb_Select(table.Cursor());
  return *xb_CurrentArea();
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
  TXbase table;
  table.Open(FaxTablePath(layout, dir), false, true);
  int order = 0;
  if (!tag.empty()) {
    order = table.TagOrder(tag);
    if (order == 0) return Fail(std::string(layout.name) + " has no tag " + tag);
  }
  table.SelectOrder(order);
  table.SetFilter(filter);
  WorkArea& area = AreaOf(table);
  const auto& fields = area.Table().Fields();
  for (area.GoTop(); !area.Eof(); area.Skip(1)) {
    std::string line = std::to_string(area.RecNo());
    for (const DbfField& f : fields) line += "\t" + StoredText(f, area.Record().data());
    if (all) line += area.Deleted() ? "\t*" : "\t";
    std::cout << line << "\n";
  }
  return 0;
}

int Add(const FaxTableLayout& layout, const std::string& dir, const Args& args) {
  if (args.empty()) return UsageError(kDbUsage);
  TXbase table;
  OpenForCommand(table, layout, dir, false);
  WorkArea& area = AreaOf(table);
  const std::vector<Assignment> assignments = ParseAssignments(layout, area.Table().Fields(), args.begin(), args.end());
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
  WorkArea& area = AreaOf(table);
  const std::vector<Assignment> assignments = ParseAssignments(layout, area.Table().Fields(), args.begin() + 1, args.end());
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
  WorkArea& area = AreaOf(table);
  if (*recno > area.RecCount())
    return Fail(std::string(layout.name) + " has no record " + args[0] + " (it has " + std::to_string(area.RecCount()) + ")");
  area.Go(*recno);
  area.Delete();
  area.Commit();
  return 0;
}

int Rebuild(const FaxTableLayout& layout, const std::string& dir, bool pack) {
  TXbase table;
  OpenForCommand(table, layout, dir, true);
  if (pack) {
    RebuildTable(table, layout, dir, {});
  } else {
    table.Reindex();
  }
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
    return Rebuild(*layout, dir, action == "pack");
  } catch (const XbaseError& e) {
    return Fail(e.what());
  }
}

}  // namespace tv::cli

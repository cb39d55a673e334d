#include "store/fax_tables.h"

#include <ctime>
#include <filesystem>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/work_files.h"
#include "store/dbf_table.h"
#include "store/xb_engine.h"

namespace tv {

namespace {

constexpr FaxFieldLayout kOutgoingFields[] = {
    {"SUBJECT", 'C', 50, 0, "Subject", 20},      {"DATESENT", 'D', 8, 0, "Date Sent", 0},
    {"TIMESENT", 'C', 5, 0, "Time Sent", 0},     {"RECIPIENT", 'C', 35, 0, "Recipient", 20},
    {"PHONE", 'C', 25, 0, "Fax#", 15},           {"LASTRESULT", 'C', 100, 0, "Last Attempt", 20},
    {"FAXDOC", 'C', 12, 0, "", -1},              {"FAXCOVER", 'C', 12, 0, "", -1},
    {"NOTES", 'C', 50, 0, "Notes", 25},          {"CODES", 'C', 25, 0, "Codes", 15},
    {"ARCHIVED", 'L', 1, 0, "Archived", -1},
};
constexpr FaxTagLayout kOutgoingTags[] = {
    {"DATESENT", "DTOS(DATESENT)+TIMESENT", true}, {"SUBJECT", "UPPER(SUBJECT)", false},
    {"RECIPIENT", "UPPER(RECIPIENT)", false},      {"CODES", "UPPER(CODES)", false},
    {"ARCHIVED", "ARCHIVED", false},
};

constexpr FaxFieldLayout kReceivedFields[] = {
    {"DATEREC", 'D', 8, 0, "Date Rec'd", 0}, {"TIMEREC", 'C', 5, 0, "Time Rec'd", 0},
    {"FROM", 'C', 20, 0, "From", 0},         {"PAGES", 'N', 2, 0, "Pages", 0},
    {"FAXFILE", 'C', 12, 0, "", -1},         {"NOTES", 'C', 60, 0, "Notes", 60},
    {"ARCHIVED", 'L', 1, 0, "", -1},
};
constexpr FaxTagLayout kReceivedTags[] = {
    {"DATETIME", "DTOS(DATEREC)+TIMEREC", true},
    {"FROM", "UPPER(FROM)", true},
    {"ARCHIVED", "ARCHIVED", false},
};

constexpr FaxFieldLayout kPhoneFields[] = {
    {"NAME", 'C', 35, 0, "Name", 31},
    {"PHONE", 'C', 25, 0, "Fax #", 0},
};
constexpr FaxTagLayout kPhoneTags[] = {{"NAME", "NAME", false}};

constexpr FaxTableLayout kOutgoing{"TVOUT", "TVOUT.DBF", "FAX", kOutgoingFields, kOutgoingTags};
constexpr FaxTableLayout kReceived{"TVREC", "TVREC.DBF", "RECEIVE", kReceivedFields, kReceivedTags};
constexpr FaxTableLayout kPhone{"TVPB", "TVPB.DBF", "PHONE", kPhoneFields, kPhoneTags};

// Opens the table; an index that is missing, cannot be trusted or lacks one
// of the table's tags is built again whole.
void OpenWithIndex(TXbase& table, const FaxTableLayout& layout, const std::string& folder, bool exclusive,
                   std::string* problem) {
  table.Open(FaxTablePath(layout, folder), exclusive, false, {}, RequiredTags(layout));
  if (!problem) return;
  const std::string& repair = table.Area().IndexRepair();
  const std::string& damage = table.Area().Table().Damage();
  *problem = repair.empty() || damage.empty() ? repair + damage : repair + "; " + damage;
}

}  // namespace

std::vector<TagDefinition> RequiredTags(const FaxTableLayout& layout) {
  std::vector<TagDefinition> tags;
  for (const FaxTagLayout& tag : layout.tags) tags.push_back({tag.name, tag.key, kNotDeletedCondition, tag.descending});
  return tags;
}

bool OpenFaxTable(TXbase& table, const FaxTableLayout& layout, const std::string& folder, bool exclusive,
                  std::string* problem) {
  table.Close();
  if (!MakeFaxTable(layout, folder)) {
    if (problem) *problem = xb_LastErrorText();
    return false;
  }
  try {
    OpenWithIndex(table, layout, folder, exclusive, problem);
  } catch (const XbaseError& e) {
    if (problem) *problem = e.what();
    return false;
  }
  // From here on the table is open: later failures still count as success.
  try {
    table.SelectOrder(table.TagOrder(layout.tags[0].name));
    table.First();
    table.SetQuery(&layout == &kOutgoing ? kArchiveFilter : kNotDeletedFilter);
    table.First();
  } catch (const XbaseError& e) {
    if (problem) *problem = e.what();
  }
  return true;
}

bool IsFileNameField(std::string_view field) {
  for (const char* name : {"FAXDOC", "FAXCOVER", "FAXFILE"})
    if (EqualsNoCase(field, name)) return true;
  return false;
}

const FaxTableLayout& OutgoingTableLayout() { return kOutgoing; }
const FaxTableLayout& ReceivedTableLayout() { return kReceived; }
const FaxTableLayout& PhoneTableLayout() { return kPhone; }

const FaxTableLayout* FaxTableNamed(std::string_view name) {
  for (const FaxTableLayout* layout : {&kOutgoing, &kReceived, &kPhone})
    if (EqualsNoCase(layout->name, name)) return layout;
  return nullptr;
}

std::string FaxTablePath(const FaxTableLayout& layout, const std::string& folder) {
  return FindNoCase(WithSlash(folder), layout.fileName);
}

std::string FaxIndexPath(const FaxTableLayout& layout, const std::string& folder) {
  std::string name = layout.fileName;
  name.replace(name.size() - 3, 3, "CDX");
  return FindNoCase(WithSlash(folder), name);
}

bool MakeFaxTable(const FaxTableLayout& layout, const std::string& folder) {
  const std::string path = FaxTablePath(layout, folder);
  if (FileExists(path)) return true;
  TXbase maker;
  if (!maker.CreateTable(path, kDriverCdx, static_cast<int>(layout.fields.size()))) return false;
  try {
    for (const FaxFieldLayout& f : layout.fields) maker.AddField(f.name, f.type, f.decimals, f.width);
  } catch (const XbaseError&) {
    return false;
  }
  return maker.FinishCreate() && FileExists(path);
}

bool OpenOutgoingTable(TXbase& table, const std::string& folder, std::string* problem) {
  return OpenFaxTable(table, kOutgoing, folder, true, problem);
}

bool OpenRecFaxDBF(TXbase& table, const std::string& folder, std::string* problem) {
  return OpenFaxTable(table, kReceived, folder, true, problem);
}

bool OpenPhoneTable(TXbase& table, const std::string& folder, bool exclusive, std::string* problem) {
  return OpenFaxTable(table, kPhone, folder, exclusive, problem);
}

bool FaxTableCloseAndOpen(TXbase& table, const std::string& folder, std::string* problem) {
  const std::uint32_t recno = table.Active() ? table.RecordNumber() : 0;
  const std::string order = table.Active() ? table.IndexName() : std::string();
  const std::string filter = table.Filter();
  try {
    table.Close();
    OpenWithIndex(table, kOutgoing, folder, true, nullptr);
    table.SelectOrder(order.empty() ? 0 : table.TagOrder(order));
    table.SetQuery(filter);
  } catch (const XbaseError& e) {
    if (problem) *problem = e.what();
    return table.Active();
  }
  try {
    if (recno >= 1 && recno <= table.RecordCount()) table.GoToRecord(recno);
    else table.First();
  } catch (const XbaseError&) {
    // Going back to the remembered record is a courtesy.
  }
  return true;
}

void RebuildTable(TXbase& table, const FaxTableLayout& layout, const RebuildProgress& progress) {
  const std::string what = layout.what;
  auto report = [&](const std::string& status, int percent) {
    if (progress) progress(status, percent);
  };
  std::string status;
  table.SetProgressHook([&](int percent) { report(status, percent); });
  struct Unhook {
    TXbase& table;
    ~Unhook() { table.SetProgressHook({}); }
  } unhook{table};
  const std::string order = table.IndexName();
  table.CloseIndexes();
  status = "Removing " + what + " file records marked for deletion";
  report(status, 0);
  table.Pack();
  status = "Rebuilding " + what + " file indexes";
  report(status, 0);
  // The new index replaces the old file whole when it is complete.
  table.BuildIndex(RequiredTags(layout));
  table.SelectOrder(order.empty() ? 0 : table.TagOrder(order));
}

std::string FaxTableDamage(const FaxTableLayout& layout, const std::string& folder) {
  return DbfTable::Open(FaxTablePath(layout, folder), OpenMode::ReadOnly)->Damage();
}

TableCheck CheckFaxTable(const FaxTableLayout& layout, const std::string& folder) {
  TableCheck check;
  const std::string path = FaxTablePath(layout, folder);
  if (!FileExists(path)) return check;
  // The table alone first: a fault of its index would hide one of its own.
  check.fault = FaxTableDamage(layout, folder);
  try {
    TXbase probe;
    probe.Open(path, false, true);
  } catch (const XbaseError& e) {
    if (e.Code() != xbBadIndex && e.Code() != xbStaleIndex) throw;
    check.onlyStale = check.fault.empty() && e.Code() == xbStaleIndex;
    check.fault += (check.fault.empty() ? "" : "; ") + std::string(e.what());
  }
  return check;
}

std::string RepairFaxTable(const FaxTableLayout& layout, const std::string& folder) {
  const std::string path = FaxTablePath(layout, folder);
  const std::string found = CheckFaxTable(layout, folder).fault;
  if (!found.empty()) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, ".damaged-%Y%m%d-%H%M%S", &local);
    for (const std::string& file : {path, FaxIndexPath(layout, folder)}) {
      if (!FileExists(file)) continue;
      std::error_code sizeError;
      std::error_code roomError;
      const std::uintmax_t size = std::filesystem::file_size(file, sizeError);
      const std::filesystem::space_info room = std::filesystem::space(folder, roomError);
      if (sizeError || roomError || size >= room.available)
        throw XbaseError(xbFileError, "there is no room to keep a copy of " + file + " (" + std::to_string(size) +
                                          " bytes) before repairing it; nothing was changed");
      if (!CopyWholeFile(file, file + stamp))
        throw XbaseError(xbFileError, "cannot keep a copy of " + file + " before repairing it");
    }
  }
  // The whole records are taken before the index is opened: a damaged table
  // keeps its index as it was until then.
  DbfTable::Open(path, OpenMode::Exclusive)->AcceptLength();
  TXbase table;
  table.Open(path, true, false, {}, RequiredTags(layout));
  table.BuildIndex(RequiredTags(layout));
  return found;
}

void RebuildIndexes(TXbase& outgoing, TXbase& received, TXbase& phone, const std::string& folder,
                    const RebuildProgress& progress) {
  if (progress) progress("", 0);
  RebuildTable(outgoing, kOutgoing, progress);
  RebuildTable(received, kReceived, progress);
  if (OpenPhoneTable(phone, folder, true)) {
    RebuildTable(phone, kPhone, progress);
    phone.SelectOrder(phone.TagOrder("NAME"));
    phone.Close();
  }
}

}  // namespace tv

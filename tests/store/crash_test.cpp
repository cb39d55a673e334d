// A writer killed at random moments during appends, changes, deletions and
// packs: every operation it finished is still there after reopening, and the
// index either matches the table or is found stale and rebuilt.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "store/fax_tables.h"
#include "store/table_file.h"
#include "store/xb_engine.h"
#include "tests/store/store_test_support.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::TempDir;

std::string Subject(int id) {
  char text[16];
  std::snprintf(text, sizeof text, "S%06d", id);
  return text;
}

void Say(int fd, const std::string& line) {
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0) _exit(3);
}

// The writer: reports each operation before it starts ("B ...") and after
// it returned ("D"), then goes on until it is killed.
[[noreturn]] void Writer(const std::string& folder, int fd, unsigned seed, int firstId) {
  try {
    TXbaseEnv env;
    env.SetDeleted(true);
    TXbase out;
    if (!OpenOutgoingTable(out, folder)) _exit(2);
    out.SetFilter("");
    std::vector<int> live;
    for (int r = out.First(); r == xbOK; r = out.Next()) live.push_back(std::stoi(std::get<std::string>(*out.Field("SUBJECT")).substr(1)));
    std::mt19937 random(seed);
    out.SelectOrder(out.TagOrder("SUBJECT"));
    xb_Select(out.Cursor());
    for (int id = firstId;; ++id) {
      const unsigned action = random() % 100;
      if (action < 55 || live.size() < 5) {
        Say(fd, "B A " + std::to_string(id));
        out.NewRecord();
        out.SetField("SUBJECT", Subject(id));
        out.SetField("RECIPIENT", std::string(1 + random() % 30, static_cast<char>('a' + random() % 26)));
        if (random() % 3) out.SetField("DATESENT", CivilDate{2000 + static_cast<int>(random() % 25), 1 + static_cast<int>(random() % 12), 1});
        out.SetField("ARCHIVED", random() % 4 == 0);
        out.Append();
        live.push_back(id);
      } else if (action < 99) {
        const std::size_t pick = random() % live.size();
        if (!xb_Seek(Subject(live[pick]))) _exit(4);
        if (action < 80) {
          const std::string codes = "C" + std::to_string(random() % 100000);
          Say(fd, "B M " + std::to_string(live[pick]) + " " + codes);
          if (xb_Replace("CODES", rtText, codes, 0, false) != 0) _exit(5);
        } else {
          Say(fd, "B X " + std::to_string(live[pick]));
          if (xb_Delete() != 0) _exit(6);
          live.erase(live.begin() + static_cast<long>(pick));
        }
      } else {
        Say(fd, "B P");
        if (xb_Pack() != 0) _exit(7);
      }
      Say(fd, "D");
    }
  } catch (...) {
    _exit(8);
  }
}

struct Row {
  std::string codes;
  bool deleted = false;
  int copies = 0;
};

std::map<int, Row> ReadRows(const std::string& folder, std::string& problem) {
  TXbaseEnv env;
  env.SetDeleted(false);
  TXbase out;
  std::map<int, Row> rows;
  EXPECT_TRUE(OpenOutgoingTable(out, folder, &problem)) << problem;
  out.SetFilter("");
  out.SelectOrder(0);
  for (int r = out.First(); r == xbOK; r = out.Next()) {
    Row& row = rows[std::stoi(std::get<std::string>(*out.Field("SUBJECT")).substr(1))];
    const auto codes = out.Field("CODES");
    row.codes = codes ? std::get<std::string>(*codes) : "";
    xb_Select(out.Cursor());
    row.deleted = xb_Deleted();
    ++row.copies;
  }
  return rows;
}

// Every tag walks as the same tag built afresh from a copy of the table.
void ExpectTagsMatchRebuilt(const std::string& folder, const TempDir& scratch) {
  std::filesystem::copy_file(folder + "TVOUT.DBF", scratch.File("TVOUT.DBF"), std::filesystem::copy_options::overwrite_existing);
  std::filesystem::remove(scratch.File("TVOUT.CDX"));
  const XbaseSettings settings;
  auto fresh = WorkArea::Open(scratch.File("TVOUT.DBF"), OpenMode::Exclusive, settings);
  for (const FaxTagLayout& tag : OutgoingTableLayout().tags)
    fresh->CreateTag(tag.name, tag.key, kNotDeletedCondition, tag.descending, false);
  auto kept = WorkArea::Open(folder + "TVOUT.DBF", OpenMode::ReadOnly, settings);
  for (int order = 1; order <= 5; ++order)
    EXPECT_EQ(test::Walk(*kept, order), test::Walk(*fresh, order)) << "tag " << order;
}

TEST(CrashTest, KilledWritersLoseNothingTheyFinished) {
  TempDir dir;
  TempDir scratch;
  const std::string folder = dir.Path();
  {
    TXbaseEnv env;
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, folder));
  }
  LayerEnd();
  std::map<int, Row> model;  // finished operations only
  std::mt19937 random(1234);
  int nextId = 1;
  int staleSeen = 0;
  int finished = 0;
  for (int round = 0; round < 25; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      Writer(folder, fds[1], static_cast<unsigned>(random()), nextId);
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 40000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "writer ended by itself: status " << status;

    std::string reports;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) reports.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    std::istringstream lines(reports);
    std::string pending;  // the operation under way at the kill, if any
    for (std::string line; std::getline(lines, line);) {
      if (line == "D") {
        std::istringstream op(pending);
        std::string b, kind;
        int id = 0;
        op >> b >> kind >> id;
        if (kind == "A") model[id] = Row{"", false, 1};
        if (kind == "M") op >> model[id].codes;
        if (kind == "X") model[id].deleted = true;
        if (kind == "P")
          for (auto it = model.begin(); it != model.end();) it = it->second.deleted ? model.erase(it) : std::next(it);
        if (kind == "A") nextId = id + 1;
        pending.clear();
      } else {
        pending = line;
      }
    }

    std::string problem;
    std::map<int, Row> rows = ReadRows(folder, problem);
    staleSeen += !problem.empty();
    std::istringstream op(pending);
    std::string b, kind, newCodes;
    int pendingId = 0;
    op >> b >> kind >> pendingId >> newCodes;
    if (kind == "A") nextId = pendingId + 1;
    for (const auto& [id, expected] : model) {
      const auto found = rows.find(id);
      if (expected.deleted) {  // gone only when a pack ran
        if (found != rows.end()) {
          EXPECT_TRUE(found->second.deleted) << "S" << id << " came back";
        }
        continue;
      }
      ASSERT_NE(found, rows.end()) << "finished record S" << id << " was lost in round " << round;
      EXPECT_EQ(found->second.copies, 1);
      const bool pendingHere = pendingId == id;
      if (!(pendingHere && kind == "X")) {
        EXPECT_FALSE(found->second.deleted) << "S" << id;
      }
      if (!(pendingHere && kind == "M")) {
        EXPECT_EQ(found->second.codes, expected.codes) << "S" << id;
      } else {
        EXPECT_TRUE(found->second.codes == expected.codes || found->second.codes == newCodes);
      }
    }
    for (const auto& [id, row] : rows)
      EXPECT_TRUE(model.count(id) || (kind == "A" && id == pendingId)) << "unknown record S" << id;
    model.clear();
    for (const auto& [id, row] : rows) model[id] = row;  // the truth the next writer starts from
    ExpectTagsMatchRebuilt(folder, scratch);
    finished += static_cast<int>(std::count(reports.begin(), reports.end(), 'D'));
    LayerEnd();
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(staleSeen, 0);  // some kills really did catch the index mid-change
  EXPECT_GT(finished, 500);
  EXPECT_GT(model.size(), 100u);
}

// A writer with the table to itself, stopped right when the index is first
// touched after its record went to disk: the index must already say that it
// was being changed, so the next open builds it again instead of trusting
// keys that no longer match the record.
TEST(CrashTest, ExclusiveWriterStoppedBetweenRecordAndKeysLeavesAStaleIndex) {
  TempDir dir;
  TempDir scratch;
  const std::string folder = dir.Path();
  {
    TXbaseEnv env;
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, folder));
    for (const char* codes : {"alpha", "beta", "gamma"}) {
      out.NewRecord();
      out.SetField("CODES", std::string(codes));
      out.Append();
    }
  }
  LayerEnd();
  const pid_t child = fork();
  if (child == 0) {
    TXbaseEnv env;
    TXbase out;
    if (!OpenOutgoingTable(out, folder)) _exit(2);
    out.SetFilter("");
    bool recordWritten = false;
    InjectWriteFault([&](const std::string& path) {
      if (path.ends_with(".DBF"))
        recordWritten = true;
      else if (recordWritten)
        raise(SIGKILL);
      return 0;
    });
    out.GoToRecord(2);
    out.SetField("CODES", std::string("zulu"));
    out.Modify();
    out.Close();  // writes the index pages out: the kill comes at the latest here
    _exit(3);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  std::string problem;
  {
    TXbaseEnv env;
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, folder, &problem));
  }
  EXPECT_NE(problem.find("half-updated"), std::string::npos) << problem;
  ExpectTagsMatchRebuilt(folder, scratch);
  LayerEnd();
}

// Killed while it creates the table, then while it builds the index: the
// first leaves no table at all (not an empty one), and the work files both
// leave go at the next open.
TEST(CrashTest, KilledCreatorsLeaveNoEmptyTableAndNoWorkFiles) {
  TempDir dir;
  const std::string folder = dir.Path();
  for (const char* killedAt : {".DBF", ".CDX"}) {
    const pid_t child = fork();
    if (child == 0) {
      InjectWriteFault([killedAt](const std::string& path) {
        if (path.ends_with(killedAt)) raise(SIGKILL);
        return 0;
      });
      TXbase out;
      OpenOutgoingTable(out, folder);
      _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << killedAt << " status " << status;
    EXPECT_EQ(std::filesystem::exists(folder + "TVOUT.DBF"), killedAt != std::string(".DBF"));
  }
  auto names = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) found.push_back(entry.path().filename());
    std::sort(found.begin(), found.end());
    return found;
  };
  EXPECT_EQ(names().size(), 2u);  // the table and the index's work file
  {
    TXbaseEnv env;
    TXbase out;
    ASSERT_TRUE(OpenOutgoingTable(out, folder));
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"TVOUT.CDX", "TVOUT.DBF"}));
  LayerEnd();
}

}  // namespace
}  // namespace tv

// The table engine against SQLite on the same work in the same run
// (bench/compare.h: process CPU per round, ours / SQLite): a TVOUT of
// 100 000 records with its five tags, and an SQLite table with the same
// columns and five equivalent indexes.
//
// What each side has on disk when a round ends:
//   append, no sync: ours (the exclusive open the program uses) has written
//     every record at its append and the index at the commit, syncing
//     nothing; SQLite inserts in one transaction with synchronous=OFF and
//     its rollback journal, or (its fastest, and unsafe like ours) with the
//     journal kept in memory.
//   append, sync: the same, then ours waits until the disk holds table and
//     index (CommitToDisk); SQLite runs with synchronous=FULL.
//   pack: ours always writes the packed table and index beside the old ones,
//     syncs them and renames them over; SQLite deletes and vacuums with
//     synchronous=FULL (and, for reference, OFF).
//   shared appends: ours opens the table shared, so each append is one
//     whole change under the table lock (record, count and index pages
//     written before the next); SQLite commits each insert on its own, in
//     WAL mode with synchronous=OFF.
//
//   store_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//       --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/compare.h"
#include "store/fax_tables.h"
#include "store/field_codec.h"
#include "store/xbase_date.h"
#include "store/xb_engine.h"

namespace tv {
namespace {

constexpr int kRecords = 100000;
constexpr int kSharedRecords = 10000;

struct Fax {
  std::string subject;
  std::string dateSent;  // yyyymmdd or blank
  std::string timeSent;
  std::string recipient;
  std::string phone;
  std::string codes;
  bool archived;
};

const std::vector<Fax>& Faxes() {
  static const std::vector<Fax> faxes = [] {
    std::mt19937 random(42);
    auto word = [&](int length) {
      std::string w;
      for (int i = 0; i < length; ++i) w += static_cast<char>('a' + random() % 26);
      return w;
    };
    std::vector<Fax> out;
    for (int i = 0; i < kRecords; ++i) {
      Fax f;
      f.subject = "Fax " + word(6) + " " + std::to_string(i);
      if (random() % 10) {
        char date[16];
        std::snprintf(date, sizeof date, "%04d%02d%02d", 2000 + static_cast<int>(random() % 26),
                      1 + static_cast<int>(random() % 12), 1 + static_cast<int>(random() % 28));
        f.dateSent = date;
        f.timeSent = std::to_string(10 + random() % 14) + ":" + std::to_string(10 + random() % 50);
      }
      f.recipient = word(12);
      f.phone = std::to_string(5550000 + random() % 10000);
      f.codes = random() % 3 ? word(4) : "";
      f.archived = random() % 4 == 0;
      out.push_back(std::move(f));
    }
    return out;
  }();
  return faxes;
}

std::string BenchFolder(const std::string& name) {
  const std::string folder = (std::filesystem::temp_directory_path() / ("tv-bench-" + name)).string() + "/";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

// ---------------------------------------------------------------- engine

void AppendAll(WorkArea& area, int count = kRecords) {
  const auto& fields = area.Table().Fields();
  std::vector<char> record(area.Record().size());
  for (int i = 0; i < count; ++i) {
    const Fax& f = Faxes()[static_cast<std::size_t>(i)];
    std::fill(record.begin(), record.end(), ' ');
    WriteField(fields[0], record.data(), XValue::Char(f.subject));
    const std::string dtos = f.dateSent.empty() ? "        " : f.dateSent;
    WriteField(fields[1], record.data(), XValue::Day(std::max(0, JulianFromDtos(dtos))));
    WriteField(fields[2], record.data(), XValue::Char(f.timeSent));
    WriteField(fields[3], record.data(), XValue::Char(f.recipient));
    WriteField(fields[4], record.data(), XValue::Char(f.phone));
    WriteField(fields[9], record.data(), XValue::Char(f.codes));
    WriteField(fields[10], record.data(), XValue::Bool(f.archived));
    area.Append(record.data());
  }
}

// The 100 000-record outgoing table, built once and copied per round.
const std::string& EngineMaster() {
  static const std::string folder = [] {
    const std::string f = BenchFolder("engine-master");
    TXbaseEnv env;
    TXbase out;
    OpenOutgoingTable(out, f);
    AppendAll(out.Area());
    out.Close();
    LayerEnd();
    return f;
  }();
  return folder;
}

std::string EngineCopy(const std::string& name) {
  const std::string folder = BenchFolder(name);
  for (const char* file : {"TVOUT.DBF", "TVOUT.CDX"})
    std::filesystem::copy_file(EngineMaster() + file, folder + file);
  return folder;
}

// An open outgoing table, and the engine layer around it.
struct Engine {
  std::unique_ptr<TXbaseEnv> env;
  std::unique_ptr<TXbase> out;

  // exclusive: as the program opens TVOUT; otherwise shared.
  void Open(const std::string& folder, bool exclusive = true) {
    env = std::make_unique<TXbaseEnv>();
    env->SetDeleted(true);
    out = std::make_unique<TXbase>();
    if (exclusive) {
      OpenOutgoingTable(*out, folder);
    } else {
      MakeFaxTable(OutgoingTableLayout(), folder);
      out->Open(FaxTablePath(OutgoingTableLayout(), folder), false, false, {}, RequiredTags(OutgoingTableLayout()));
    }
    out->SetFilter("");
  }
  WorkArea& Area() { return out->Area(); }
  void Close() {
    out->Close();
    out.reset();
    LayerEnd();
    env.reset();
  }
};

// ---------------------------------------------------------------- SQLite

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    sqlite3_free(error);
    std::abort();
  }
}

enum class Journal { kRollbackNoSync, kRollbackFullSync, kWalNoSync, kMemoryNoSync };

sqlite3* OpenSqlite(const std::string& path, Journal journal) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  switch (journal) {
    case Journal::kRollbackNoSync: Exec(db, "PRAGMA synchronous=OFF;"); break;
    case Journal::kRollbackFullSync: Exec(db, "PRAGMA synchronous=FULL;"); break;
    case Journal::kWalNoSync: Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"); break;
    case Journal::kMemoryNoSync: Exec(db, "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF;"); break;
  }
  return db;
}

void CreateSqliteTable(sqlite3* db) {
  Exec(db,
       "CREATE TABLE tvout (subject TEXT, datesent TEXT, timesent TEXT, recipient TEXT, phone TEXT, "
       "lastresult TEXT, faxdoc TEXT, faxcover TEXT, notes TEXT, codes TEXT, archived INTEGER, deleted INTEGER);"
       "CREATE INDEX datesent ON tvout(datesent DESC, timesent DESC) WHERE deleted = 0;"
       "CREATE INDEX subject ON tvout(upper(subject)) WHERE deleted = 0;"
       "CREATE INDEX recipient ON tvout(upper(recipient)) WHERE deleted = 0;"
       "CREATE INDEX codes ON tvout(upper(codes)) WHERE deleted = 0;"
       "CREATE INDEX archived ON tvout(archived) WHERE deleted = 0;");
}

// Inserts the first `count` faxes, in one transaction unless each insert is
// to commit on its own.
void SqliteAppendAll(sqlite3* db, int count = kRecords, bool oneTransaction = true) {
  if (oneTransaction) Exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO tvout (subject, datesent, timesent, recipient, phone, codes, archived, deleted) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, 0)",
                     -1, &insert, nullptr);
  for (int i = 0; i < count; ++i) {
    const Fax& f = Faxes()[static_cast<std::size_t>(i)];
    sqlite3_bind_text(insert, 1, f.subject.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, f.dateSent.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, f.timeSent.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, f.recipient.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, f.phone.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 6, f.codes.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 7, f.archived);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (oneTransaction) Exec(db, "COMMIT");
}

const std::string& SqliteMaster() {
  static const std::string path = [] {
    const std::string p = BenchFolder("sqlite-master") + "tvout.db";
    sqlite3* db = OpenSqlite(p, Journal::kRollbackNoSync);
    CreateSqliteTable(db);
    SqliteAppendAll(db);
    sqlite3_close(db);
    return p;
  }();
  return path;
}

sqlite3* SqliteCopy(const std::string& name, Journal journal) {
  const std::string path = BenchFolder(name) + "tvout.db";
  std::filesystem::copy_file(SqliteMaster(), path);
  return OpenSqlite(path, journal);
}

// ---------------------------------------------------------------- changes

// Arguments: 1 when both sides make the appends durable on disk; without
// sync, 1 when SQLite keeps its journal in memory.
void CompareAppend(benchmark::State& state) {
  const bool sync = state.range(0) != 0;
  Journal journal = Journal::kRollbackNoSync;
  if (sync) {
    journal = Journal::kRollbackFullSync;
  } else if (state.range(1) != 0) {
    journal = Journal::kMemoryNoSync;
  }
  Engine engine;
  sqlite3* db = nullptr;
  bench::Side ours{[&] {
                     AppendAll(engine.Area());
                     if (sync) {
                       engine.Area().CommitToDisk();
                     } else {
                       engine.Area().Commit();
                     }
                   },
                   [&] { engine.Open(BenchFolder("engine-append")); }, [&] { engine.Close(); }};
  bench::Side sqlite{[&] { SqliteAppendAll(db); },
                     [&] {
                       db = OpenSqlite(BenchFolder("sqlite-append") + "tvout.db", journal);
                       CreateSqliteTable(db);
                     },
                     [&] { sqlite3_close(db); }};
  bench::Compare(state, ours, sqlite);
  state.SetItemsProcessed(state.iterations() * kRecords * 2);
}
BENCHMARK(CompareAppend)
    ->ArgNames({"sync", "sqlite_memory_journal"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// Each append one whole change that other programs see at once.
void CompareSharedAppend(benchmark::State& state) {
  Engine engine;
  sqlite3* db = nullptr;
  bench::Side ours{[&] { AppendAll(engine.Area(), kSharedRecords); },
                   [&] { engine.Open(BenchFolder("engine-shared"), false); }, [&] { engine.Close(); }};
  bench::Side sqlite{[&] { SqliteAppendAll(db, kSharedRecords, false); },
                     [&] {
                       db = OpenSqlite(BenchFolder("sqlite-shared") + "tvout.db", Journal::kWalNoSync);
                       CreateSqliteTable(db);
                     },
                     [&] { sqlite3_close(db); }};
  bench::Compare(state, ours, sqlite);
  state.SetItemsProcessed(state.iterations() * kSharedRecords * 2);
}
BENCHMARK(CompareSharedAppend)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

// Argument: SQLite's sync (ours always syncs the files a pack replaces).
void ComparePackTenPercent(benchmark::State& state) {
  const bool sqliteSync = state.range(0) != 0;
  Engine engine;
  sqlite3* db = nullptr;
  bench::Side ours{[&] { engine.out->Pack(); },
                   [&] {
                     engine.Open(EngineCopy("engine-pack"));
                     WorkArea& area = engine.Area();
                     area.SetOrder(0);
                     for (std::uint32_t r = 1; r <= kRecords; r += 10) {
                       area.Go(r);
                       area.Delete();
                     }
                     area.Commit();
                   },
                   [&] { engine.Close(); }};
  bench::Side sqlite{[&] { Exec(db, "DELETE FROM tvout WHERE deleted = 1; VACUUM;"); },
                     [&] {
                       db = SqliteCopy("sqlite-pack",
                                       sqliteSync ? Journal::kRollbackFullSync : Journal::kRollbackNoSync);
                       Exec(db, "UPDATE tvout SET deleted = 1 WHERE (rowid - 1) % 10 = 0");
                     },
                     [&] { sqlite3_close(db); }};
  bench::Compare(state, ours, sqlite);
}
BENCHMARK(ComparePackTenPercent)
    ->ArgName("sqlite_sync")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// ---------------------------------------------------------------- reading

void CompareWalkDateSent(benchmark::State& state) {
  Engine engine;
  engine.Open(EngineCopy("engine-walk"));
  engine.out->SelectOrder(engine.out->TagOrder("DATESENT"));
  WorkArea& area = engine.Area();
  sqlite3* db = SqliteCopy("sqlite-walk", Journal::kRollbackNoSync);
  sqlite3_stmt* walk = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT * FROM tvout INDEXED BY datesent WHERE deleted = 0 "
                     "ORDER BY datesent DESC, timesent DESC",
                     -1, &walk, nullptr);
  std::size_t ourRows = 0;
  std::size_t theirRows = 0;
  bench::Side ours{[&] {
    ourRows = 0;
    for (area.GoTop(); !area.Eof(); area.Skip(1)) {
      benchmark::DoNotOptimize(area.Record()[1]);
      ++ourRows;
    }
  }};
  bench::Side sqlite{[&] {
    theirRows = 0;
    while (sqlite3_step(walk) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(walk, 0));
      ++theirRows;
    }
    sqlite3_reset(walk);
  }};
  bench::Compare(state, ours, sqlite);
  if (ourRows != kRecords || theirRows != kRecords) state.SkipWithError("a walk missed rows");
  sqlite3_finalize(walk);
  sqlite3_close(db);
  engine.Close();
}
BENCHMARK(CompareWalkDateSent)->Unit(benchmark::kMillisecond)->UseManualTime();

void CompareSeekSubject(benchmark::State& state) {
  Engine engine;
  engine.Open(EngineCopy("engine-seek"));
  engine.out->SelectOrder(engine.out->TagOrder("SUBJECT"));
  WorkArea& area = engine.Area();
  sqlite3* db = SqliteCopy("sqlite-seek", Journal::kRollbackNoSync);
  sqlite3_stmt* seek = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM tvout WHERE upper(subject) = ?1 AND deleted = 0 LIMIT 1", -1, &seek, nullptr);
  std::vector<std::string> keys;
  for (int i = 0; i < 10000; ++i) {
    std::string key = Faxes()[static_cast<std::size_t>(i * 7 % kRecords)].subject;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    keys.push_back(key);
  }
  int ourFound = 0;
  int theirFound = 0;
  bench::Side ours{[&] {
    ourFound = 0;
    for (const std::string& key : keys) ourFound += area.Seek(XValue::Char(key));
  }};
  bench::Side sqlite{[&] {
    theirFound = 0;
    for (const std::string& key : keys) {
      sqlite3_bind_text(seek, 1, key.c_str(), -1, SQLITE_STATIC);
      theirFound += sqlite3_step(seek) == SQLITE_ROW;
      sqlite3_reset(seek);
    }
  }};
  bench::Compare(state, ours, sqlite);
  if (ourFound != 10000 || theirFound != 10000) state.SkipWithError("a seek missed");
  sqlite3_finalize(seek);
  sqlite3_close(db);
  engine.Close();
}
BENCHMARK(CompareSeekSubject)->Unit(benchmark::kMillisecond)->UseManualTime();

void CompareCountNotArchived(benchmark::State& state) {
  Engine engine;
  engine.Open(EngineCopy("engine-count"));
  engine.out->SetFilter(".not. archived");
  sqlite3* db = SqliteCopy("sqlite-count", Journal::kRollbackNoSync);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM tvout WHERE NOT archived AND deleted = 0", -1, &count, nullptr);
  std::uint32_t ourCount = 0;
  std::int64_t theirCount = 0;
  bench::Side ours{[&] { ourCount = engine.out->QueryCount(); }};
  bench::Side sqlite{[&] {
    sqlite3_step(count);
    theirCount = sqlite3_column_int64(count, 0);
    sqlite3_reset(count);
  }};
  bench::Compare(state, ours, sqlite);
  if (ourCount != theirCount) state.SkipWithError("the counts differ");
  state.counters["count"] = ourCount;
  sqlite3_finalize(count);
  sqlite3_close(db);
  engine.Close();
}
BENCHMARK(CompareCountNotArchived)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();

// The table engine against SQLite on the same work: a TVOUT of 100 000
// records with its five tags, and an SQLite table with the same columns and
// five equivalent indexes, in the same run.
//
//   store_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "store/fax_tables.h"
#include "store/field_codec.h"
#include "store/xbase_date.h"
#include "store/xb_engine.h"

namespace tv {
namespace {

constexpr int kRecords = 100000;

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

void AppendAll(TXbase& out) {
  WorkArea& area = *(xb_Select(out.Cursor()), xb_CurrentArea());
  const auto& fields = area.Table().Fields();
  std::vector<char> record(area.Record().size());
  for (const Fax& f : Faxes()) {
    std::fill(record.begin(), record.end(), ' ');
    WriteField(fields[0], record.data(), XValue::Char(f.subject));
    WriteField(fields[1], record.data(), XValue::Day(std::max(0, JulianFromDtos(f.dateSent.empty() ? "        " : f.dateSent))));
    WriteField(fields[2], record.data(), XValue::Char(f.timeSent));
    WriteField(fields[3], record.data(), XValue::Char(f.recipient));
    WriteField(fields[4], record.data(), XValue::Char(f.phone));
    WriteField(fields[9], record.data(), XValue::Char(f.codes));
    WriteField(fields[10], record.data(), XValue::Bool(f.archived));
    area.Append(record.data());
  }
  area.Commit();
}

// The 100 000-record outgoing table, built once and copied per benchmark.
const std::string& EngineMaster() {
  static const std::string folder = [] {
    const std::string f = BenchFolder("engine-master");
    TXbaseEnv env;
    TXbase out;
    OpenOutgoingTable(out, f);
    AppendAll(out);
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

void BM_Engine_AppendAll(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = BenchFolder("engine-append");
    TXbaseEnv env;
    TXbase out;
    OpenOutgoingTable(out, folder);
    state.ResumeTiming();
    AppendAll(out);
    out.Close();
    LayerEnd();
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Engine_WalkDateSent(benchmark::State& state) {
  const std::string folder = EngineCopy("engine-walk");
  TXbaseEnv env;
  env.SetDeleted(true);
  TXbase out;
  OpenOutgoingTable(out, folder);
  out.SetFilter("");
  out.SelectOrder(out.TagOrder("DATESENT"));
  WorkArea& area = *(xb_Select(out.Cursor()), xb_CurrentArea());
  std::size_t rows = 0;
  for (auto _ : state) {
    rows = 0;
    for (area.GoTop(); !area.Eof(); area.Skip(1)) {
      benchmark::DoNotOptimize(area.Record()[1]);
      ++rows;
    }
  }
  state.counters["rows"] = static_cast<double>(rows);
  out.Close();
  LayerEnd();
}

void BM_Engine_SeekSubject(benchmark::State& state) {
  const std::string folder = EngineCopy("engine-seek");
  TXbaseEnv env;
  env.SetDeleted(true);
  TXbase out;
  OpenOutgoingTable(out, folder);
  out.SetFilter("");
  out.SelectOrder(out.TagOrder("SUBJECT"));
  WorkArea& area = *(xb_Select(out.Cursor()), xb_CurrentArea());
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int i = 0; i < 10000; ++i) {
      std::string key = Faxes()[static_cast<std::size_t>(i * 7 % kRecords)].subject;
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      found += area.Seek(XValue::Char(key));
    }
  }
  state.counters["found"] = found;
  out.Close();
  LayerEnd();
}

void BM_Engine_CountNotArchived(benchmark::State& state) {
  const std::string folder = EngineCopy("engine-count");
  TXbaseEnv env;
  env.SetDeleted(true);
  TXbase out;
  OpenOutgoingTable(out, folder);
  std::uint32_t count = 0;
  for (auto _ : state) count = out.QueryCount();
  state.counters["count"] = count;
  out.Close();
  LayerEnd();
}

void BM_Engine_PackTenPercent(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = EngineCopy("engine-pack");
    TXbaseEnv env;
    TXbase out;
    OpenOutgoingTable(out, folder);
    out.SetFilter("");
    WorkArea& area = *(xb_Select(out.Cursor()), xb_CurrentArea());
    area.SetOrder(0);
    for (std::uint32_t r = 1; r <= kRecords; r += 10) {
      area.Go(r);
      area.Delete();
    }
    area.Commit();
    state.ResumeTiming();
    out.Pack();
    state.PauseTiming();
    out.Close();
    LayerEnd();
    state.ResumeTiming();
  }
}

// ---------------------------------------------------------------- SQLite

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    sqlite3_free(error);
    std::abort();
  }
}

sqlite3* OpenSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  // No syncing, as the table engine leaves flushing to the system too.
  Exec(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;");
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

void SqliteAppendAll(sqlite3* db) {
  Exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO tvout (subject, datesent, timesent, recipient, phone, codes, archived, deleted) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, 0)",
                     -1, &insert, nullptr);
  for (const Fax& f : Faxes()) {
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
  Exec(db, "COMMIT");
}

const std::string& SqliteMaster() {
  static const std::string path = [] {
    const std::string p = BenchFolder("sqlite-master") + "tvout.db";
    sqlite3* db = OpenSqlite(p);
    CreateSqliteTable(db);
    SqliteAppendAll(db);
    sqlite3_close(db);
    return p;
  }();
  return path;
}

sqlite3* SqliteCopy(const std::string& name) {
  const std::string path = BenchFolder(name) + "tvout.db";
  std::filesystem::copy_file(SqliteMaster(), path);
  return OpenSqlite(path);
}

void BM_Sqlite_AppendAll(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* db = OpenSqlite(BenchFolder("sqlite-append") + "tvout.db");
    CreateSqliteTable(db);
    state.ResumeTiming();
    SqliteAppendAll(db);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Sqlite_WalkDateSent(benchmark::State& state) {
  sqlite3* db = SqliteCopy("sqlite-walk");
  sqlite3_stmt* walk = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT * FROM tvout INDEXED BY datesent WHERE deleted = 0 "
                     "ORDER BY datesent DESC, timesent DESC",
                     -1, &walk, nullptr);
  std::size_t rows = 0;
  for (auto _ : state) {
    rows = 0;
    while (sqlite3_step(walk) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(walk, 0));
      ++rows;
    }
    sqlite3_reset(walk);
  }
  state.counters["rows"] = static_cast<double>(rows);
  sqlite3_finalize(walk);
  sqlite3_close(db);
}

void BM_Sqlite_SeekSubject(benchmark::State& state) {
  sqlite3* db = SqliteCopy("sqlite-seek");
  sqlite3_stmt* seek = nullptr;
  sqlite3_prepare_v2(db, "SELECT * FROM tvout WHERE upper(subject) = ?1 AND deleted = 0 LIMIT 1", -1, &seek, nullptr);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int i = 0; i < 10000; ++i) {
      std::string key = Faxes()[static_cast<std::size_t>(i * 7 % kRecords)].subject;
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      sqlite3_bind_text(seek, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      found += sqlite3_step(seek) == SQLITE_ROW;
      sqlite3_reset(seek);
    }
  }
  state.counters["found"] = found;
  sqlite3_finalize(seek);
  sqlite3_close(db);
}

void BM_Sqlite_CountNotArchived(benchmark::State& state) {
  sqlite3* db = SqliteCopy("sqlite-count");
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM tvout WHERE NOT archived AND deleted = 0", -1, &count, nullptr);
  std::int64_t n = 0;
  for (auto _ : state) {
    sqlite3_step(count);
    n = sqlite3_column_int64(count, 0);
    sqlite3_reset(count);
  }
  state.counters["count"] = static_cast<double>(n);
  sqlite3_finalize(count);
  sqlite3_close(db);
}

void BM_Sqlite_PackTenPercent(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* db = SqliteCopy("sqlite-pack");
    Exec(db, "UPDATE tvout SET deleted = 1 WHERE (rowid - 1) % 10 = 0");
    state.ResumeTiming();
    Exec(db, "DELETE FROM tvout WHERE deleted = 1; VACUUM;");
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
}

BENCHMARK(BM_Engine_AppendAll)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sqlite_AppendAll)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Engine_WalkDateSent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_WalkDateSent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_SeekSubject)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_SeekSubject)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_CountNotArchived)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_CountNotArchived)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_PackTenPercent)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sqlite_PackTenPercent)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
}  // namespace tv

BENCHMARK_MAIN();

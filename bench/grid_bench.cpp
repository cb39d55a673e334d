// The outgoing grid over a table of 100 000 faxes: opening the window's model,
// counting rows, and reading the rows of one screen at the top, in the middle
// and at the end, as scrolling does.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <filesystem>

#include "app/table_model.h"
#include "store/fax_tables.h"

namespace tv {
namespace {

constexpr int kRecords = 100000;
constexpr int kScreenRows = 40;

const std::string& Folder() {
  static const std::string folder = [] {
    std::string path = (std::filesystem::temp_directory_path() / "tv-grid-bench-XXXXXX").string();
    path = std::string(mkdtemp(path.data())) + "/";
    TXbase table;
    if (!OpenOutgoingTable(table, path)) std::abort();
    for (int i = 0; i < kRecords; ++i) {
      table.NewRecord();
      table.SetField("SUBJECT", "Subject " + std::to_string(i * 7919 % kRecords));
      table.SetField("RECIPIENT", "Recipient " + std::to_string(i % 977));
      table.SetField("PHONE", "555 " + std::to_string(i));
      table.SetField("DATESENT", CivilDate{2020 + i % 7, 1 + i % 12, 1 + i % 28});
      table.SetField("TIMESENT", std::string("10:00"));
      table.SetField("ARCHIVED", i % 10 == 0);
      table.Append();
    }
    return path;
  }();
  return folder;
}

struct OpenGrid {
  TXbase table;
  std::unique_ptr<TableModel> model;
  OpenGrid() {
    if (!OpenOutgoingTable(table, Folder())) std::abort();
    table.SelectOrder(table.TagOrder("DATESENT"));
    table.SetQuery(kArchiveFilter);
    model = std::make_unique<TableModel>(table, OutgoingColumns());
  }
};

void ReadScreen(TableModel& model, int firstRow) {
  for (int r = firstRow; r < firstRow + kScreenRows; ++r) {
    for (int c = 0; c < model.columnCount(); ++c) benchmark::DoNotOptimize(model.index(r, c).data());
  }
}

void BM_OpenAndCountRows(benchmark::State& state) {
  Folder();
  for (auto _ : state) {
    OpenGrid grid;
    benchmark::DoNotOptimize(grid.model->rowCount());
  }
}
BENCHMARK(BM_OpenAndCountRows)->Unit(benchmark::kMillisecond);

void BM_FirstScreen(benchmark::State& state) {
  OpenGrid grid;
  grid.model->rowCount();
  for (auto _ : state) {
    grid.model->Reload();
    ReadScreen(*grid.model, 0);
  }
}
BENCHMARK(BM_FirstScreen)->Unit(benchmark::kMillisecond);

// A jump of the scroll bar from the top row to a row far away.
void BM_JumpToScreen(benchmark::State& state) {
  OpenGrid grid;
  const int rows = grid.model->rowCount();
  const int target = static_cast<int>(state.range(0) * (rows - kScreenRows) / 100);
  for (auto _ : state) {
    grid.model->Reload();
    benchmark::DoNotOptimize(grid.model->index(0, 0).data());
    ReadScreen(*grid.model, target);
  }
}
BENCHMARK(BM_JumpToScreen)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

// Scrolling down one screen at a time from the middle.
void BM_PageDown(benchmark::State& state) {
  OpenGrid grid;
  const int rows = grid.model->rowCount();
  int row = rows / 2;
  ReadScreen(*grid.model, row);
  for (auto _ : state) {
    row += kScreenRows;
    if (row + kScreenRows >= rows) row = rows / 2;
    ReadScreen(*grid.model, row);
  }
}
BENCHMARK(BM_PageDown)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tv

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(tv::Folder());
  return 0;
}

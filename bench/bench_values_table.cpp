// The polled-value table at length: 10 listed values and 100,000 rows (a day of polling at
// the 900 ms tick is 96,000). Prints three figures, each against its goal:
//  1. the table's memory per sample cell: resident growth while 100,000 rows are added,
//     divided by the 1,000,000 value cells (goal <= 16 B: one float and a share of the row's
//     time stamp; a grid of strings takes over 60 B);
//  2. the tick's cost (AddPolledSample and the repaint of the table page) at 100,000 rows
//     against its cost at 100 rows, medians of the thread's CPU time (goal <= 1.5x);
//  3. the export of the 100,000 x 10 table to .xlsx: wall and CPU time, value cells written
//     per second (goal >= 1,000,000 cells/s) and the peak memory beyond the table during
//     the export (goal < 64 MB).
// The console runs offscreen without a device (the values read as 0; the table is filled
// with varied values for the export). Options: --rows N (100000), --ticks N (300).

#include "bench_ui_common.h"

#include "ui/views/PolledValuesModel.h"
#include "ui/views/PolledValuesPages.h"
#include "ui/reports/TableExport.h"
#include "office/TypedInput.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int Values = 10;

long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string k = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.rfind(k, 0) == 0) return std::stol(line.substr(k.size()));
    return 0;
}

long ResidentBytes() {
    malloc_trim(0);
    return StatusKb("VmRSS") * 1024;
}

double ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void Fill(vx4::TPolledValuesModel& model, int rows) {
    float v[Values];
    qint64 t = QDateTime::currentMSecsSinceEpoch() - qint64(rows) * 900;
    for (int r = model.DataRows() - 1; r < rows; ++r) {
        for (int c = 0; c < Values; ++c) v[c] = float(c * 10) + float(r % 1000) * 0.0137f + 0.1f;
        model.AddSample(t, v, Values);
        t += 900;
    }
}

// Median CPU time of one tick (the sample and the repaint it causes).
double TickMedian(vx4::TPolledValuesPages& pages, int ticks) {
    std::vector<double> cost;
    for (int i = 0; i < ticks; ++i) {
        const double start = ThreadCpu();
        pages.AddPolledSample();
        QApplication::processEvents();
        cost.push_back(ThreadCpu() - start);
    }
    std::nth_element(cost.begin(), cost.begin() + ticks / 2, cost.end());
    return cost[std::size_t(ticks / 2)];
}

} // namespace

int main(int argc, char** argv) {
    int rows = 100000, ticks = 300;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rows") rows = std::max(1000, std::atoi(argv[i + 1]));
        else if (a == "--ticks") ticks = std::max(11, std::atoi(argv[i + 1]));
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const auto dir = vx4bench::MakeRunFolder("bench_values_table");
    auto form = vx4bench::MakeForm(dir);
    vx4::TPolledValuesPages& pages = form->Values();
    vx4::TPolledValuesModel& model = pages.TableModel();
    model.SetTexts(vx4::SampleTexts::FromLocale(QLocale(QLocale::Russian, QLocale::Russia), ','));
    for (int i = 0; i < Values; ++i) pages.InsertEntry(i, std::uint16_t(1000 + i), QString("1V%1").arg(i + 1));
    pages.setCurrentIndex(1); // the table page is the one that grows
    QApplication::processEvents();

    // 2a. The tick at 100 rows.
    Fill(model, 100);
    QApplication::processEvents();
    const double tickSmall = TickMedian(pages, ticks);

    // 1. Memory of 100,000 rows.
    pages.ToolButton3Click(); // "Clean": back to one row
    QApplication::processEvents();
    const long before = ResidentBytes();
    Fill(model, rows);
    QApplication::processEvents();
    const long after = ResidentBytes();
    const double cells = double(model.SampleRows()) * Values;
    const double perCell = double(after - before) / cells;

    // 2b. The tick at 100,000 rows.
    const double tickLarge = TickMedian(pages, ticks);

    // 3. The export.
    vx4::SetWorkbookOpener([](const QString&) { return true; });
    pages.SetExportFolder(QString::fromStdString(dir.string()));
    const long base = ResidentBytes();
    { std::ofstream("/proc/self/clear_refs") << "5"; } // the peak starts again from here
    const double cpu0 = ProcessCpu();
    const auto wall0 = std::chrono::steady_clock::now();
    pages.ToolButton1Click();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = ProcessCpu() - cpu0;
    const long peak = StatusKb("VmHWM") * 1024;
    const QString file = pages.LastExport();
    const double valueCells = double(model.SampleRows()) * Values;

    // The share of the export's CPU time spent making the cell texts and reading them back
    // as typed input (the rest is the library's: its number printing and the compression).
    const double texts0 = ProcessCpu();
    std::vector<std::string> cellTexts;
    std::size_t typed = 0;
    for (int r = 0; r < model.DataRows(); ++r) {
        model.RowTexts(r, cellTexts);
        for (const std::string& t : cellTexts) typed += vx4::ReadTypedInput(t, vx4::DateOrder::DayMonthYear).kind;
    }
    const double textsCpu = ProcessCpu() - texts0;

    std::printf("table: %zu rows x %d values\n", model.SampleRows(), Values);
    std::printf("1. memory per sample cell: %.2f B (resident growth %.1f MB / %.0f cells)   goal <= 16 B   %s\n",
                perCell, double(after - before) / 1e6, cells, perCell <= 16 ? "met" : "NOT MET");
    std::printf("2. tick at %d rows against 100 rows: %.2fx (%.1f us / %.1f us, medians of %d ticks)   goal <= 1.5x   %s\n",
                model.DataRows(), tickLarge / tickSmall, tickLarge * 1e6, tickSmall * 1e6, ticks,
                tickLarge / tickSmall <= 1.5 ? "met" : "NOT MET");
    if (file.isEmpty()) {
        std::printf("3. export FAILED\n");
        return 1;
    }
    std::printf("3. export of %.0f value cells (and %zu time cells): %.2f s wall, %.2f s CPU; %.0f cells/s by wall, "
                "%.0f cells/s by CPU   goal >= 1,000,000 cells/s   %s\n",
                valueCells, model.SampleRows(), wall, cpu, valueCells / wall, valueCells / cpu,
                valueCells / cpu >= 1e6 ? "met (CPU)" : "NOT MET");
    std::printf("   of which making the texts and reading them as typed input: %.2f s CPU (%zu)\n", textsCpu, typed);
    std::printf("   peak memory beyond the table during the export: %.1f MB   goal < 64 MB   %s;  file %.1f MB\n",
                double(peak - base) / 1e6, (peak - base) < 64e6 ? "met" : "NOT MET",
                double(QFileInfo(file).size()) / 1e6);
    std::filesystem::remove_all(dir);
    return 0;
}

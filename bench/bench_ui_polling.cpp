// CPU time of the console while it polls 126 shown calculated values once a second, as a
// share of one core: the simulator runs as a separate process (the vx4sim program, large
// profile of 210 items: 126 calculated values), the console in this process, offscreen,
// with every system and calculated-values group expanded. The process CPU time (user and
// system) over the measured wall time. Goal: under 1 %.
// Options: --seconds N (60), --sim PATH (vx4sim beside this program's build folder).


#include "bench_ui_common.h"

#include "device/Vx4obj.h"
#include "ui/main/PollingCycle.h"
#include "ui/views/ConfigTree.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <regex>

#include <sys/resource.h>
#include <sys/wait.h>

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    unsigned seconds = 60;
    std::string simPath = std::filesystem::path(argv[0]).parent_path().parent_path() / "sim" / "vx4sim";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") seconds = unsigned(std::strtoul(argv[i + 1], nullptr, 10));
        else if (a == "--sim") simPath = argv[i + 1];
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // The simulator as a child process; its first line names the port.
    int out[2];
    if (pipe(out) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(simPath.c_str(), simPath.c_str(), "--tcp", "127.0.0.1:0", "--profile", "large:210", nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE* simOut = fdopen(out[0], "r");
    char line[256] = {};
    if (!fgets(line, sizeof line, simOut)) {
        std::fprintf(stderr, "%s did not start\n", simPath.c_str());
        return 1;
    }
    std::cmatch m;
    if (!std::regex_search(line, m, std::regex("listening tcp 127\\.0\\.0\\.1:([0-9]+)"))) {
        std::fprintf(stderr, "unexpected simulator output: %s", line);
        kill(child, SIGTERM);
        return 1;
    }
    const unsigned port = unsigned(std::stoul(m[1].str()));

    QApplication app(argc, argv);
    const auto dir = vx4bench::MakeRunFolder("bench_ui_polling");
    vx4bench::WriteConnection(dir, port, 0); // 0: the device is identified by the first read
    auto form = vx4bench::MakeForm(dir);
    form->StartItem().trigger();
    while (form->PollStateValue() != vx4::psRunning) {
        QTest::qWait(100);
        if (form->PollingPaused()) {
            std::fprintf(stderr, "polling stopped: the configuration was not read\n");
            kill(child, SIGTERM);
            return 1;
        }
    }
    vx4::ConfigTree& tree = form->Tree();
    int shown = 0;
    QTreeWidgetItem* root = tree.Root();
    for (int i = 0; i < root->childCount(); ++i) {
        QTreeWidgetItem* system = root->child(i);
        system->setExpanded(true);
        for (int j = 0; j < system->childCount(); ++j) {
            auto data = vx4::ConfigTree::DataOf(system->child(j));
            if (data && data->kind == vx4::nkCalcGroup) {
                system->child(j)->setExpanded(true);
                shown += system->child(j)->childCount();
            }
        }
    }
    QTest::qWait(3000); // let polling of the shown values settle

    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    // A plain event loop: QTest::qWait would wake every few milliseconds by itself.
    QEventLoop loop;
    QTimer::singleShot(int(seconds) * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto stats = form->Conn().Statistics();
    std::printf("%d calculated values shown, %.0f s: console CPU %.3f s = %.2f %% of one core (goal < 1 %%); "
                "packets out %u, in %u\n",
                shown, wall, cpu, 100.0 * cpu / wall, stats.packetsOut, stats.packetsIn);

    form.reset();
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    std::filesystem::remove_all(dir);
    return 0;
}


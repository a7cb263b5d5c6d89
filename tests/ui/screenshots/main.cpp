// vx4pult_screenshots: the console's main window, built from the console's library, driven
// through its windows by itself while a PNG is saved after each step.
//
//   vx4pult_screenshots DIR [--monitor vx3c|vx2] [--plot-seconds N] [console arguments...]
//
// The console arguments (/port=..., /dev=...) are those of vx4pult. Exit status 0 when every
// picture was saved, 2 when a step failed.

#include "ScreenshotDriver.h"

#include "ui/dialogs/About.h"
#include "ui/main/CommandLine.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s DIR [--monitor vx3c|vx2] [--plot-seconds N] [console arguments...]\n",
                     argv[0]);
        return 2;
    }
    const char* dir = argv[1];
    const char* monitor = "";
    int plotSeconds = 60;
    std::vector<char*> rest = {argv[0]};
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--monitor") == 0 && i + 1 < argc) {
            monitor = argv[++i];
        } else if (std::strcmp(argv[i], "--plot-seconds") == 0 && i + 1 < argc) {
            plotSeconds = std::atoi(argv[++i]);
            if (plotSeconds < 1) plotSeconds = 1;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = int(rest.size());
    rest.push_back(nullptr);
    QApplication app(restCount, rest.data());
    vx4::ParseCommandLine(vx4::JoinArguments(restCount, rest.data()), vx4::ProcessCommandLine());
    QApplication::setApplicationName(QStringLiteral("VX-4 Pult"));

    vx4::Tvx4pult_MainForm mainForm;
    vx4::TAboutBox aboutBox(&mainForm);
    mainForm.SetAboutBox(&aboutBox);
    vx4::StartScreenshotDriver(mainForm, QString::fromLocal8Bit(dir), QString::fromLocal8Bit(monitor), plotSeconds);
    mainForm.show();
    return app.exec();
}

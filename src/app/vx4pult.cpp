// vx4pult: the VX-4 remote console. Parses the command line, creates the main window and
// the About box, and runs the event loop until the main window closes.

#include "ui/dialogs/About.h"
#include "ui/main/CommandLine.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/StartCheck.h"
#include "ui/main/StopSignalWatcher.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Shows an exception that escapes an event handler; the program goes on.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            vx4::ShowErrorBox(activeWindow(), QString::fromUtf8(e.what()));
        } catch (...) {
            vx4::ShowErrorBox(activeWindow(), QString());
        }
        return false;
    }
};

bool HasDisplay() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char** argv) {
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "vx4pult: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Run it in a desktop session, or under a virtual X server: xvfb-run -a vx4pult ...\n");
        return 1;
    }
    // A file written to a reader that went away (a fifo named when saving) fails with EPIPE
    // and is reported; it never ends the console before its settings are written.
    std::signal(SIGPIPE, SIG_IGN);
    TApplication app(argc, argv);
    int status = 0;
    try {
        vx4::ParseCommandLine(vx4::JoinArguments(argc, argv), vx4::ProcessCommandLine());
        QApplication::setApplicationName(QStringLiteral("VX-4 Pult"));

        vx4::Tvx4pult_MainForm mainForm;
        vx4::TAboutBox aboutBox(&mainForm);
        mainForm.SetAboutBox(&aboutBox);

        // Package checks start the console, read back the files it found and quit.
        vx4::StartStartCheckFromEnvironment(mainForm);

        // Ctrl+C, a kill or a closed terminal end the program as closing the window does.
        vx4::StopSignalWatcher stopSignals(mainForm.Operations());

        mainForm.show();
        status = app.exec();
        if (stopSignals.Signal() != 0) status = 128 + stopSignals.Signal();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromUtf8(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), QString());
    }
    return status;
}

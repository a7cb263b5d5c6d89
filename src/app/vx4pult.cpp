// vx4pult: the VX-4 remote console. Parses the command line, creates the main window and
// the About box, and runs the event loop until the main window closes.

#include "ui/dialogs/About.h"
#include "ui/main/CommandLine.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/StartCheck.h"
#include "ui/main/StopSignalWatcher.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

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

const char* const HelpText =
    "Usage: vx4pult [/port=COMn | /port=/dev/ttyUSB0 | /port=HOST:PORT] [/speed=N] [/dev=N]\n"
    "The VX-4 remote console (\"Удаленный пульт управления VX-4\"): reads and edits the\n"
    "configuration of a VX-4 metering computer over a serial line or TCP, polls its values,\n"
    "sets and tests its clock, downloads its files and shows the line's frames.\n"
    "\n"
    "Options:\n"
    "  /port=COMn          serial port COMn (/dev/ttyS<n-1>)\n"
    "  /port=/dev/ttyUSB0  serial port by its device path\n"
    "  /port=HOST:PORT     TCP connection to an IPv4 address and port\n"
    "  /speed=N            serial line speed\n"
    "  /dev=N              device number (its serial number)\n"
    "  --help              this text\n"
    "  --version           the program's version\n"
    "A line with any faulty /option is ignored as a whole. The options override the CONNECTION\n"
    "section of vx4pult.ini (beside the program, or in ~/.config/vx4pult). Press F11 to start\n"
    "polling, F10 to stop, F3 to search for the device.\n"
    "\n"
    "Exit status: 0 when the window is closed, 1 without a display, 128+N when ended by\n"
    "signal N.\n";

} // namespace

int main(int argc, char** argv) {
    // --help and --version answer without a display; they are no /options of the line.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(HelpText, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("vx4pult %s\n", VX4_VERSION);
            return 0;
        }
    }
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
    // The program speaks Russian whatever the user's locale: so do Qt's own dialogs (file
    // dialogs, message box buttons), from the package qt6-translations-l10n.
    QTranslator qtTexts;
    const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (qtTexts.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"),
                     translations))
        QApplication::installTranslator(&qtTexts);
    else
        std::fprintf(stderr, "vx4pult: Qt's Russian texts (qtbase_ru.qm) are missing in %s; install "
                             "qt6-translations-l10n\n", translations.toLocal8Bit().constData());
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

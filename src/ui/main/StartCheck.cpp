#include "ui/main/StartCheck.h"

#include "ui/main/MessageBoxes.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>
#include <QTimer>

#include <libxml/tree.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vx4 {

namespace {

// The file a bank was read from: the document's URL is the path it was opened with.
std::string BankPath(const COptionBank& bank) {
    const xmlDoc* doc = bank.Document();
    return doc != nullptr && doc->URL != nullptr ? reinterpret_cast<const char*>(doc->URL) : std::string();
}

} // namespace

void StartStartCheckFromEnvironment(Tvx4pult_MainForm& form) {
    const char* value = std::getenv("VX4PULT_CHECK_START");
    if (value == nullptr || *value == '\0') return;
    auto errors = std::make_shared<int>(0);
    SetMessageBoxHook([errors](const QString& text) {
        ++*errors;
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    });
    // Runs from the event loop, after the window was shown (and activated: FormActivate
    // does its work once, whoever calls it first).
    QTimer::singleShot(0, &form, [&form, errors] {
        form.FormActivate();
        std::printf("settings: %s\n", form.IniPath().c_str());
        bool opened = true;
        const std::pair<const char*, COptionBank*> banks[] = {{"calcbank.xml", &form.CalcBank()},
                                                              {"constbank.xml", &form.ConstBank()}};
        for (const auto& [name, bank] : banks) {
            opened = opened && bank->IsOpen();
            std::printf("%s: %s\n", name, bank->IsOpen() ? BankPath(*bank).c_str() : "not opened");
        }
        std::fflush(stdout);
        std::fflush(stderr);
        QApplication::exit(opened && *errors == 0 ? 0 : 1);
    });
}

} // namespace vx4

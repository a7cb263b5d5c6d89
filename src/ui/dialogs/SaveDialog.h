#pragma once
// The console's file save dialogs. Every one goes through AskSaveFileName, so that tests
// (and pictures of the console) can answer them instead of a modal dialog.

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace vx4 {

struct SaveDialogOptions {
    QString title;
    QStringList filters;   // "description (*.ext)", in the order offered
    QString defaultSuffix; // appended when the name given has no extension
    QString proposedName;  // file name shown at first (may be empty)
    QString folder;        // folder shown at first
};

// Receives every save dialog while set and answers with the chosen path (empty: cancelled).
using SaveDialogHook = std::function<QString(const SaveDialogOptions& options)>;
void SetSaveDialogHook(SaveDialogHook hook); // an empty hook restores the real dialogs

// The chosen path, empty when the user cancelled.
QString AskSaveFileName(QWidget* parent, const SaveDialogOptions& options);

} // namespace vx4

#include "ui/dialogs/SaveDialog.h"

#include <QDir>
#include <QFileDialog>

namespace vx4 {

namespace {
SaveDialogHook& Hook()
{
    static SaveDialogHook hook;
    return hook;
}
} // namespace

void SetSaveDialogHook(SaveDialogHook hook) { Hook() = std::move(hook); }

QString AskSaveFileName(QWidget* parent, const SaveDialogOptions& options)
{
    if (Hook()) return Hook()(options);
    QFileDialog dialog(parent, options.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(options.filters);
    dialog.setDefaultSuffix(options.defaultSuffix);
    if (!options.folder.isEmpty()) dialog.setDirectory(options.folder);
    if (!options.proposedName.isEmpty()) dialog.selectFile(options.proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front();
}

} // namespace vx4

#pragma once
// Error message boxes of the console. Every error box goes through ShowErrorBox, so that
// tests can capture the boxes instead of blocking on a modal dialog.

#include <QString>

#include <functional>

class QWidget;

namespace vx4 {

// Receives the text of every error box while set; no dialog is shown then.
using MessageBoxHook = std::function<void(const QString& text)>;
void SetMessageBoxHook(MessageBoxHook hook); // an empty hook restores the real boxes

// A modal box with the error icon and one OK button, captioned with the application title.
void ShowErrorBox(QWidget* parent, const QString& text);
// The same with a caption of its own.
void ShowErrorBox(QWidget* parent, const QString& text, const QString& caption);

} // namespace vx4

#include "ui/dialogs/Ipedit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace vx4 {

std::uint32_t TIPEdit::StringToIP(const std::string& text)
{
    in_addr a{};
    if (inet_aton(text.c_str(), &a) == 0)
        return 0xFFFFFFFFu; // what inet_addr gives for a text that is not an address
    return ntohl(a.s_addr);
}

std::string TIPEdit::IPToString(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

TIPEdit::TIPEdit(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::StrongFocus);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    const int width = fontMetrics().horizontalAdvance(QStringLiteral("000")) + 8;
    // Every way text reaches a field besides the keys handled below (a drop, a paste with
    // the middle button, an input method) passes this check: blank or 0..255 in ASCII digits.
    auto* octet = new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^(|[0-9]{1,2}|[01][0-9]{2}|2[0-4][0-9]|25[0-5])$")), this);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setBackgroundRole(QPalette::Base);
            layout->addWidget(dot);
        }
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("octet%1").arg(i));
        field->setFrame(false);
        field->setMaxLength(3);
        field->setValidator(octet);
        field->setAlignment(Qt::AlignCenter);
        field->setFixedWidth(width);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this] { MarkModified(); });
        fields_[std::size_t(i)] = field;
        layout->addWidget(field);
    }
    layout->addStretch(1);
    setFocusProxy(fields_[0]);
    SetIP("0.0.0.0");
}

void TIPEdit::SetIP(const std::string& text)
{
    setText_ = text;
    ShowAddress(StringToIP(text));
    modified_ = false;
}

void TIPEdit::ShowAddress(std::uint32_t address)
{
    for (int i = 0; i < 4; ++i)
        fields_[std::size_t(i)]->setText(QString::number((address >> (24 - 8 * i)) & 0xFFu));
}

std::string TIPEdit::GetIP() const
{
    std::uint32_t address = 0;
    for (QLineEdit* field : fields_)
        address = (address << 8) | std::min(field->text().toUInt(), 255u); // blank reads 0
    return IPToString(address);
}

bool TIPEdit::GetIsEmpty() const
{
    for (QLineEdit* field : fields_)
        if (!field->text().isEmpty())
            return false;
    return true;
}

std::string TIPEdit::Text() const { return modified_ ? GetIP() : setText_; }

void TIPEdit::MarkModified() { modified_ = true; }

int TIPEdit::IndexOf(QObject* field) const
{
    for (int i = 0; i < 4; ++i)
        if (fields_[std::size_t(i)] == field)
            return i;
    return -1;
}

void TIPEdit::Focus(int i, bool atEnd)
{
    QLineEdit* field = fields_[std::size_t(i)];
    field->setFocus(Qt::OtherFocusReason);
    field->deselect();
    field->setCursorPosition(atEnd ? int(field->text().size()) : 0);
}

void TIPEdit::ClampField(int i)
{
    QLineEdit* field = fields_[std::size_t(i)];
    if (!field->text().isEmpty() && field->text().toUInt() > 255) {
        field->setText(QStringLiteral("255"));
        field->setCursorPosition(3);
    }
}

void TIPEdit::InsertText(int i, const QString& text)
{
    const QString t = text.trimmed();
    if (t.contains('.')) {
        // A whole dotted address fills every field; anything else with dots is refused.
        in_addr a{};
        if (inet_aton(t.toStdString().c_str(), &a) == 0)
            return;
        ShowAddress(ntohl(a.s_addr));
        MarkModified();
        Focus(3, true);
        return;
    }
    QString digits;
    for (QChar c : t)
        if (c.isDigit() && c.unicode() < 128)
            digits += c;
    if (digits.isEmpty())
        return;
    QLineEdit* field = fields_[std::size_t(i)];
    QString value = field->text();
    int pos = field->cursorPosition();
    if (field->hasSelectedText()) {
        pos = field->selectionStart();
        value.remove(pos, int(field->selectedText().size()));
    }
    value.insert(pos, digits);
    pos += int(digits.size());
    if (value.size() > 3) {
        value.truncate(3);
        pos = std::min(pos, 3);
    }
    field->setText(value);
    field->setCursorPosition(pos);
    ClampField(i);
    MarkModified();
    if (field->text().size() == 3 && field->cursorPosition() == 3 && i < 3) {
        fields_[std::size_t(i + 1)]->setFocus(Qt::OtherFocusReason);
        fields_[std::size_t(i + 1)]->selectAll();
    }
}

bool TIPEdit::eventFilter(QObject* watched, QEvent* event)
{
    const int i = IndexOf(watched);
    if (i < 0)
        return QFrame::eventFilter(watched, event);
    QLineEdit* field = fields_[std::size_t(i)];

    if (event->type() == QEvent::ContextMenu) {
        // The field's own menu, with Paste taking a whole address as typing does.
        auto* e = static_cast<QContextMenuEvent*>(event);
        QMenu* menu = field->createStandardContextMenu();
        for (QAction* action : menu->actions()) {
            if (action->objectName() != QStringLiteral("edit-paste"))
                continue;
            disconnect(action, &QAction::triggered, nullptr, nullptr);
            connect(action, &QAction::triggered, this,
                    [this, i] { InsertText(i, QApplication::clipboard()->text()); });
        }
        menu->exec(e->globalPos());
        delete menu;
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return QFrame::eventFilter(watched, event);

    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Paste)) {
        InsertText(i, QApplication::clipboard()->text());
        return true;
    }
    const bool noSelection = !field->hasSelectedText();
    const int pos = field->cursorPosition();
    switch (key->key()) {
    case Qt::Key_Backspace:
        if (noSelection && pos == 0 && i > 0) {
            QLineEdit* previous = fields_[std::size_t(i - 1)];
            Focus(i - 1, true);
            if (!previous->text().isEmpty()) {
                previous->backspace();
                MarkModified();
            }
            return true;
        }
        return false;
    case Qt::Key_Left:
        if (noSelection && pos == 0 && i > 0) {
            Focus(i - 1, true);
            return true;
        }
        return false;
    case Qt::Key_Right:
        if (noSelection && pos == field->text().size() && i < 3) {
            Focus(i + 1, false);
            return true;
        }
        return false;
    case Qt::Key_Period:
    case Qt::Key_Space:
        if (!field->text().isEmpty() && i < 3) {
            fields_[std::size_t(i + 1)]->setFocus(Qt::OtherFocusReason);
            fields_[std::size_t(i + 1)]->selectAll();
        }
        return true;
    default:
        break;
    }
    const QString text = key->text();
    if (text.isEmpty() || !text.at(0).isPrint() || (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
        return false; // editing and moving keys, shortcuts
    InsertText(i, text); // digits; anything else typed is dropped
    return true;
}

} // namespace vx4

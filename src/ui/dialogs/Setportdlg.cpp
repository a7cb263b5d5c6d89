#include "ui/dialogs/Setportdlg.h"
#include "ui/dialogs/ScreenPlacement.h"

#include "ui/dialogs/Ipedit.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSerialPortInfo>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace vx4 {

namespace {

constexpr int Margin = 8;
constexpr std::uint32_t AuxTmoutLimit = 10000;

// The number a field of digits holds; no value when it holds none or more than fits.
bool FieldNumber(const QLineEdit* field, std::uint64_t* value)
{
    const QString text = field->text().trimmed();
    if (text.isEmpty() || text.size() > 19)
        return false;
    bool ok = false;
    *value = text.toULongLong(&ok);
    return ok;
}

QLabel* Caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setContentsMargins(0, 4, 0, 0);
    return label;
}

} // namespace

std::vector<SerialPortEntry> TSetPortDlg::FindSerialPorts()
{
    std::vector<SerialPortEntry> entries;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        entries.push_back(SerialPortEntry{info.portName().toStdString(), info.description().toStdString(),
                                          info.manufacturer().toStdString()});
    return SerialPortNames::Sorted(std::move(entries));
}

std::vector<std::string> TSetPortDlg::ListSerialPorts()
{
    std::vector<std::string> names;
    for (const SerialPortEntry& e : FindSerialPorts())
        names.push_back(e.name);
    return SerialPortNames::Sorted(std::move(names));
}

TSetPortDlg::TSetPortDlg(QWidget* parent) : QDialog(parent), portSource_(&TSetPortDlg::FindSerialPorts)
{
    setObjectName(QStringLiteral("SetPortDlg"));
    setWindowTitle(QStringLiteral("Настройки порта"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    auto* column = new QWidget(this);
    column->setFixedWidth(NarrowWidth - 2 * Margin);
    auto* v = new QVBoxLayout(column);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(1);

    v->addWidget(Caption(QStringLiteral("Порт:"), column));
    auto* portRow = new QHBoxLayout;
    portRow->setSpacing(2);
    CB_Port = new QComboBox(column);
    CB_Port->setObjectName(QStringLiteral("CB_Port"));
    CB_Port->setEditable(true); // a port that is not found (a pseudo-terminal) can be typed
    CB_Port->setInsertPolicy(QComboBox::NoInsert);
    portRow->addWidget(CB_Port, 1);
    OpenPortsTreeView = new QAction(this);
    OpenPortsTreeView->setObjectName(QStringLiteral("OpenPortsTreeView"));
    OpenPortsTreeView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    OpenPortsTreeView->setText(QStringLiteral("»"));
    OpenPortsTreeView->setToolTip(QStringLiteral("Порты (Ctrl+P)"));
    connect(OpenPortsTreeView, &QAction::triggered, this, &TSetPortDlg::OpenPortsTreeViewExecute);
    addAction(OpenPortsTreeView);
    SpeedButton1 = new QToolButton(column);
    SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
    SpeedButton1->setDefaultAction(OpenPortsTreeView);
    SpeedButton1->setAutoRaise(true);
    portRow->addWidget(SpeedButton1);
    v->addLayout(portRow);

    auto* digitsOnly = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
    auto digitField = [&](const char* name) {
        auto* e = new QLineEdit(column);
        e->setObjectName(QString::fromLatin1(name));
        e->setValidator(digitsOnly); // pasted text too
        e->installEventFilter(this);
        return e;
    };

    v->addWidget(Caption(QStringLiteral("TCP/IP порт:"), column));
    E_TCPIP_Port = digitField("E_TCPIP_Port");
    v->addWidget(E_TCPIP_Port);

    v->addWidget(Caption(QStringLiteral("IP:"), column));
    IPEdit = new TIPEdit(column);
    IPEdit->setObjectName(QStringLiteral("IPEdit"));
    v->addWidget(IPEdit);

    v->addWidget(Caption(QStringLiteral("Скорость:"), column));
    CB_Speed = new QComboBox(column);
    CB_Speed->setObjectName(QStringLiteral("CB_Speed"));
    for (const char* s : {"9600", "19200", "38400", "57600", "115200"})
        CB_Speed->addItem(QString::fromLatin1(s));
    v->addWidget(CB_Speed);

    v->addWidget(Caption(QStringLiteral("Доп. задержка (мс):"), column));
    E_AuxTmout = digitField("E_AuxTmout");
    E_AuxTmout->setToolTip(QStringLiteral("0 - 10000 мс"));
    E_AuxTmout->setText(QStringLiteral("0"));
    v->addWidget(E_AuxTmout);

    v->addWidget(Caption(QStringLiteral("№ Прибора:"), column));
    E_DevNom = digitField("E_DevNom");
    v->addWidget(E_DevNom);

    v->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    OKBtn = new QPushButton(QStringLiteral("OK"), column);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), column);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    v->addLayout(buttons);
    connect(OKBtn, &QPushButton::clicked, this, &TSetPortDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TSetPortDlg::CancelBtnClick);

    TreeView = new QTreeWidget(this);
    TreeView->setObjectName(QStringLiteral("TreeView"));
    TreeView->setHeaderHidden(true);
    TreeView->setColumnCount(1);
    TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView->setFixedWidth(WideWidth - NarrowWidth - Margin);
    connect(TreeView, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* node) { TreeViewChanging(node); });

    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(Margin, Margin, Margin, Margin);
    h->setSpacing(Margin);
    h->setSizeConstraint(QLayout::SetNoConstraint);
    h->addWidget(column, 0, Qt::AlignTop);
    h->addWidget(TreeView);
    columnHeight_ = column->sizeHint().height() + 2 * Margin;

    // FormCreate: narrow, the tree hidden.
    ApplyWidth();
}

void TSetPortDlg::SetPortSource(PortSource source) { portSource_ = std::move(source); }

void TSetPortDlg::ApplyWidth()
{
    TreeView->setVisible(treeShown_);
    OpenPortsTreeView->setText(treeShown_ ? QStringLiteral("«") : QStringLiteral("»"));
    setFixedSize(treeShown_ ? WideWidth : NarrowWidth, columnHeight_);
}

void TSetPortDlg::OpenPortsTreeViewExecute()
{
    treeShown_ = !treeShown_;
    ApplyWidth();
}

void TSetPortDlg::SetDevNomEnabled(bool enabled) { E_DevNom->setEnabled(enabled); }

std::uint32_t TSetPortDlg::DevNomNumber()
{
    std::uint64_t n = 0;
    if (!FieldNumber(E_DevNom, &n) || n > 0xFFFFFFFFu)
        return 0;
    return std::uint32_t(n);
}

void TSetPortDlg::SelectSpeed(const std::string& text)
{
    CB_Speed->setCurrentIndex(CB_Speed->findText(QString::fromStdString(text)));
}

void TSetPortDlg::SettingShown(Field field, const std::string& text)
{
    const QString t = QString::fromStdString(text);
    switch (field) {
    case Field::Port: CB_Port->setCurrentText(t); break;
    case Field::IP: IPEdit->SetIP(text); break;
    case Field::TCPIPport: E_TCPIP_Port->setText(t); break;
    case Field::Speed: SelectSpeed(text); break;
    case Field::AuxTmout:
        auxShown_ = text;
        E_AuxTmout->setText(t);
        break;
    case Field::DevNom: E_DevNom->setText(t); break;
    }
}

void TSetPortDlg::Prepare(connection& conn)
{
    conn_ = &conn;
    const ConnectionSettings s = conn.Settings();
    CB_Port->clear();
    CB_Port->addItem(QStringLiteral("TCP/IP"));
    std::vector<std::string> names;
    for (const SerialPortEntry& e : portSource_())
        names.push_back(e.name);
    for (const std::string& name : SerialPortNames::Sorted(std::move(names)))
        CB_Port->addItem(QString::fromStdString(name));
    // The entry equal to the port when there is one; the text as it is otherwise.
    const int index = CB_Port->findText(QString::fromStdString(s.port));
    if (index >= 0)
        CB_Port->setCurrentIndex(index);
    else
        CB_Port->setCurrentText(QString::fromStdString(s.port));
    SelectSpeed(std::to_string(s.speed));
    IPEdit->SetIP(s.IP);
    // A host name is kept as it is unless the user types an address.
    IPEdit->setToolTip(TIPEdit::StringToIP(s.IP) == 0xFFFFFFFFu && s.IP != "255.255.255.255"
                           ? QStringLiteral("В настройках: %1").arg(QString::fromStdString(s.IP))
                           : QString());
    E_TCPIP_Port->setText(QString::fromStdString(s.TCPIPport));
    E_DevNom->setText(QString::number(s.dev_nom));
    E_AuxTmout->setText(QString::fromStdString(auxShown_));
    FormShow();
}

void TSetPortDlg::FormShow()
{
    // The system's device list is always there: the tree is rebuilt and the button enabled.
    SpeedButton1->setEnabled(true);
    TreeView->clear();
    const QIcon icon = style()->standardIcon(QStyle::SP_DriveNetIcon);
    auto* root = new QTreeWidgetItem(TreeView, QStringList{QStringLiteral("Порты (COM)")});
    root->setIcon(0, icon);
    for (const SerialPortEntry& e : SerialPortNames::Sorted(portSource_())) {
        auto* child = new QTreeWidgetItem(root, QStringList{QString::fromStdString(SerialPortNames::TreeText(e))});
        child->setIcon(0, icon);
    }
    root->setExpanded(true);
}

bool TSetPortDlg::ShowModalAt(int x, int y, connection& conn)
{
    Prepare(conn);
    // The top-left corner at the pointer, kept on the screen.
    MoveOnScreen(this, QPoint(x, y));
    const bool confirmed = exec() == QDialog::Accepted;
    if (!confirmed)
        E_AuxTmout->setText(QString::fromStdString(auxShown_));
    conn_ = nullptr;
    return confirmed;
}

void TSetPortDlg::OKBtnClick()
{
    if (conn_) {
        ConnectionSettings s = conn_->Settings();
        s.port = CB_Port->currentText().trimmed().toStdString();
        if (CB_Speed->currentIndex() >= 0)
            s.speed = CB_Speed->currentText().toUInt();
        s.IP = IPEdit->Text();
        s.TCPIPport = E_TCPIP_Port->text().toStdString();
        s.dev_nom = DevNomNumber();
        std::uint64_t aux = 0;
        const bool digits = FieldNumber(E_AuxTmout, &aux);
        // Digits too many for a number are over the limit as well.
        if (!digits && !E_AuxTmout->text().trimmed().isEmpty())
            aux = AuxTmoutLimit;
        s.AuxTmout = std::uint32_t(std::min<std::uint64_t>(aux, AuxTmoutLimit));
        conn_->SetSettings(s);
        auxShown_ = std::to_string(s.AuxTmout);
        E_AuxTmout->setText(QString::fromStdString(auxShown_));
    }
    accept();
}

void TSetPortDlg::CancelBtnClick() { reject(); }

void TSetPortDlg::TreeViewChanging(QTreeWidgetItem* node)
{
    if (!node)
        return;
    // A node naming a listed port selects it; the root names none.
    const QString word = QString::fromStdString(SerialPortNames::FirstWord(node->text(0).toStdString()));
    const int index = CB_Port->findText(word);
    if (node->parent() != nullptr && index >= 0)
        CB_Port->setCurrentIndex(index);
}

bool TSetPortDlg::E_DevNomKeyPress(const QKeyEvent& key)
{
    if (key.modifiers() & (Qt::ControlModifier | Qt::AltModifier))
        return false;
    const QString text = key.text();
    if (text.isEmpty() || !text.at(0).isPrint())
        return false; // backspace, moving keys
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return true;
    return false;
}

void TSetPortDlg::E_TCPIP_PortKeyUp()
{
    const QString text = E_TCPIP_Port->text();
    if (text.isEmpty())
        return;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return; // not a number: left alone
    std::uint64_t n = 0;
    if (!FieldNumber(E_TCPIP_Port, &n) || n >= 65536)
        E_TCPIP_Port->setText(QStringLiteral("65535"));
}

bool TSetPortDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == E_DevNom || watched == E_TCPIP_Port || watched == E_AuxTmout) {
        if (event->type() == QEvent::KeyPress && E_DevNomKeyPress(*static_cast<QKeyEvent*>(event)))
            return true;
        if (event->type() == QEvent::KeyRelease && watched == E_TCPIP_Port)
            E_TCPIP_PortKeyUp();
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vx4

#include "ui/dialogs/Gigeshow.h"
#include "ui/dialogs/ScreenPlacement.h"

#include "common/DarFile.h"
#include "device/Vx4obj.h"
#include "platform/FileLocations.h"
#include "platform/NormalizeDecimalSeparator.h"
#include "ui/dialogs/GiGeTableModel.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/MessageBoxes.h"
#include "ui/views/ZoomChartView.h"

#include <QAction>
#include <QChart>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QSplitter>
#include <QTableView>
#include <QToolBar>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vx4 {

namespace {

constexpr int DefaultColWidth = 10; // added to a column's text width

void RoundTicks(QValueAxis* axis);

QChart* MakeChart(QLineSeries*& series, QValueAxis*& x, QValueAxis*& y, const QString& yTitle)
{
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setMargins(QMargins(2, 2, 2, 2));
    series = new QLineSeries;
    series->setPointsVisible(true); // circles joined by a line
    series->setMarkerSize(7);
    chart->addSeries(series);
    x = new QValueAxis;
    x->setTitleText(QStringLiteral("Gi"));
    x->setLabelFormat(QStringLiteral("%.6g")); // up to six places, no trailing zeros
    y = new QValueAxis;
    y->setTitleText(yTitle);
    y->setLabelFormat(QStringLiteral("%.6g"));
    RoundTicks(x);
    RoundTicks(y);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(x);
    series->attachAxis(y);
    return chart;
}

// A round tick interval for a span: 1, 2 or 5 times a power of ten, about five ticks.
double RoundStep(double span)
{
    const double raw = span / 5;
    if (!(raw > 0) || !std::isfinite(raw))
        return 1;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / magnitude;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * magnitude;
}

// The axis's range with its tick interval set first, so that the axis never lays out the
// new range with the ticks of a much smaller one.
void SetAxisRange(QValueAxis& axis, double lo, double hi)
{
    axis.setTickInterval(RoundStep(hi - lo));
    axis.setRange(lo, hi);
}

// A range around [lo, hi] with a margin, never empty.
void SetPadded(QValueAxis& axis, double lo, double hi)
{
    double pad = (hi - lo) * 0.03;
    if (pad <= 0)
        pad = std::max(std::fabs(hi) * 0.1, 1.0);
    SetAxisRange(axis, lo - pad, hi + pad);
}

// Ticks at round values whatever the range; the range itself stays where the data or the
// zoom puts it. Zooming by mouse changes the range inside the chart: the interval follows.
void RoundTicks(QValueAxis* axis)
{
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    QObject::connect(axis, &QValueAxis::rangeChanged, axis,
                     [axis](qreal min, qreal max) { axis->setTickInterval(RoundStep(max - min)); });
}

} // namespace

TGIGEShowForm::TGIGEShowForm(QWidget* parent, ManualOperation& operation) : QDialog(parent), operation_(operation)
{
    setObjectName(QStringLiteral("GIGEShowForm"));
    setWindowTitle(QStringLiteral("Просмотр градуировочных пар"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(740, 514);

    auto* toolBar = new QToolBar(this);
    toolBar->setObjectName(QStringLiteral("ToolBar1"));
    toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    Save = toolBar->addAction(QStringLiteral("&Сохранить"));
    Save->setObjectName(QStringLiteral("Save"));
    SaveAs = toolBar->addAction(QStringLiteral("&Сохранить как"));
    SaveAs->setObjectName(QStringLiteral("SaveAs"));
    for (QAction* a : {Save, SaveAs}) {
        a->setToolTip(QStringLiteral("Сохранить"));
        a->setStatusTip(QStringLiteral("Сохранить градуировку в файл"));
    }
    toolBar->addSeparator();
    LoadFromVX = toolBar->addAction(QStringLiteral("Загрузить из VX"));
    LoadFromVX->setObjectName(QStringLiteral("LoadFromVX"));
    LoadFromVX->setToolTip(QStringLiteral("Считать"));
    LoadFromVX->setStatusTip(QStringLiteral("Считать градуировку из прибора"));
    toolBar->addSeparator();
    connect(Save, &QAction::triggered, this, [this] { SaveClick(); });
    connect(SaveAs, &QAction::triggered, this, &TGIGEShowForm::SaveAsClick);
    connect(LoadFromVX, &QAction::triggered, this, &TGIGEShowForm::LoadFromVXClick);

    auto* addrRow = new QHBoxLayout;
    auto* label1 = new QLabel(QStringLiteral("Серийный номер ЗФЛ:"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    Edit_ZFLAddr = new QLineEdit(this);
    Edit_ZFLAddr->setObjectName(QStringLiteral("Edit_ZFLAddr"));
    Edit_ZFLAddr->setFixedWidth(120);
    connect(Edit_ZFLAddr, &QLineEdit::returnPressed, this, &TGIGEShowForm::LoadFromVXClick);
    addrRow->addWidget(label1);
    addrRow->addWidget(Edit_ZFLAddr);
    addrRow->addStretch(1);

    model_ = new GiGeTableModel(this);
    StringGrid1 = new QTableView(this);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setModel(model_);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->verticalHeader()->hide();
    StringGrid1->verticalHeader()->setDefaultSectionSize(StringGrid1->fontMetrics().height() + 4);
    StringGrid1->setFixedWidth(290);

    chart1_ = MakeChart(series1_, axis1X_, axis1Y_, QStringLiteral("Ge"));
    chart2_ = MakeChart(series2_, axis2X_, axis2Y_, QStringLiteral("Откл.(%)"));
    chartView1_ = new ZoomChartView(chart1_, this);
    chartView1_->setObjectName(QStringLiteral("Chart1"));
    chartView2_ = new QChartView(chart2_, this); // no zoom of its own; it follows Chart1
    chartView2_->setObjectName(QStringLiteral("Chart2"));
    chartView2_->setRenderHint(QPainter::Antialiasing);
    connect(chartView1_, &ZoomChartView::viewChanged, this, &TGIGEShowForm::FollowChart1);

    auto* charts = new QSplitter(Qt::Vertical, this);
    charts->addWidget(chartView1_);
    charts->addWidget(chartView2_);
    charts->setChildrenCollapsible(false);

    auto* body = new QHBoxLayout;
    body->addWidget(StringGrid1);
    body->addWidget(charts, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 4);
    layout->setMenuBar(toolBar);
    layout->addLayout(addrRow);
    layout->addLayout(body, 1);
    ClearView();
}

TGIGEShowForm::~TGIGEShowForm() = default;

void TGIGEShowForm::showEvent(QShowEvent* event)
{
    if (QWidget* p = parentWidget()) {
        const QPoint centre = p->mapToGlobal(p->rect().center());
        MoveOnScreen(this, QPoint(centre.x() - width() / 2, centre.y() - height() / 2));
    }
    QDialog::showEvent(event);
}

void TGIGEShowForm::ShowFor(CVX4Obj& dev, std::int32_t no)
{
    Prepare(dev, no);
    exec();
}

void TGIGEShowForm::Prepare(CVX4Obj& dev, std::int32_t no)
{
    device = &dev;
    transducerNo = no;
    Edit_ZFLAddr->setText(QString::number(no));
    ClearView();
    if (no != 0)
        LoadFromVXClick();
}

void TGIGEShowForm::ClearView()
{
    series1_->clear();
    series2_->clear();
    chartView1_->UndoZoom();
    ScaleAxes(*series1_, *axis1X_, *axis1Y_, true);
    ScaleAxes(*series2_, *axis2X_, *axis2Y_, true);
    model_->Clear();
}

void TGIGEShowForm::ScaleAxes(QLineSeries& series, QValueAxis& x, QValueAxis& y, bool xToo)
{
    const QList<QPointF> points = series.points();
    if (points.isEmpty()) {
        if (xToo)
            SetAxisRange(x, 0, 1);
        SetAxisRange(y, 0, 1);
        return;
    }
    double xLo = points.front().x(), xHi = xLo, yLo = points.front().y(), yHi = yLo;
    for (const QPointF& p : points) {
        xLo = std::min(xLo, p.x());
        xHi = std::max(xHi, p.x());
        yLo = std::min(yLo, p.y());
        yHi = std::max(yHi, p.y());
    }
    if (xToo)
        SetPadded(x, xLo, xHi);
    SetPadded(y, yLo, yHi);
}

void TGIGEShowForm::LoadFromVXClick()
{
    ClearView();
    bool ok = false;
    const int typed = Edit_ZFLAddr->text().trimmed().toInt(&ok);
    if (ok && typed >= 0) // a transducer's serial number is never negative
        transducerNo = typed;
    Edit_ZFLAddr->setText(QString::number(transducerNo));
    if (!device)
        return;

    OperationOptions options;
    options.caption = QStringLiteral("Чтение градуировки");
    options.kind = FrameKind::Light;
    CVX4Obj* dev = device;
    const auto address = std::uint32_t(transducerNo);
    const int rc = operation_.Run(options, [this, dev, address](OperationContext&) {
        return dev->ReadGraduation(address, table);
    });
    if (rc != 0)
        return; // silently: the grid keeps only its header
    FillView();
}

void TGIGEShowForm::FillView()
{
    const int k = table.Count();
    if (k <= 0)
        return;
    std::vector<std::string> gi, ge;
    table.ToStrings(0, gi, ge);
    std::vector<GiGeRowText> rows;
    QList<QPointF> points;
    for (int i = 0; i < k; ++i) {
        rows.push_back(GiGeRowText{std::to_string(i), gi[std::size_t(i)], ge[std::size_t(i)]});
        const GiGePair p = table.Get(i);
        points.append(QPointF(p.gi, p.ge));
    }
    model_->SetRows(std::move(rows));
    for (int c = 0; c < 3; ++c) {
        StringGrid1->resizeColumnToContents(c);
        StringGrid1->setColumnWidth(c, StringGrid1->columnWidth(c) + DefaultColWidth);
    }
    series1_->replace(points);
    ScaleAxes(*series1_, *axis1X_, *axis1Y_, true);
    RebuildDeviation();
}

std::vector<QPointF> TGIGEShowForm::DeviationPoints(const std::vector<GiGePair>& pairs)
{
    std::vector<QPointF> points;
    if (pairs.size() < 2)
        return points;
    const GiGePair* ref = nullptr;
    for (const GiGePair& p : pairs)
        if (p.ge != 0 && (!ref || std::fabs(p.ge) > std::fabs(ref->ge)))
            ref = &p;
    if (!ref || ref->gi == 0)
        return points;
    const double slope = double(ref->ge) / double(ref->gi);
    for (const GiGePair& p : pairs) {
        if (p.ge == 0)
            continue;
        const double deviation = (double(p.ge) - double(p.gi) * slope) / std::fabs(double(p.ge)) * 100.0;
        points.emplace_back(p.gi, deviation);
    }
    return points;
}

void TGIGEShowForm::RebuildDeviation()
{
    std::vector<GiGePair> pairs;
    for (int i = 0; i < table.Count(); ++i)
        pairs.push_back(table.Get(i));
    const std::vector<QPointF> points = DeviationPoints(pairs);
    series2_->replace(QList<QPointF>(points.begin(), points.end()));
    FollowChart1(chartView1_->Zoomed());
}

void TGIGEShowForm::FollowChart1(bool zoomed)
{
    // Chart2's bottom axis takes Chart1's while Chart1 is zoomed or scrolled, and scales
    // itself again once the zoom is undone.
    ScaleAxes(*series2_, *axis2X_, *axis2Y_, !zoomed);
    if (zoomed)
        SetAxisRange(*axis2X_, axis1X_->min(), axis1X_->max());
    else
        ScaleAxes(*series1_, *axis1X_, *axis1Y_, true); // Chart1's zoom undone
}

std::string TGIGEShowForm::SavePath(std::int32_t no)
{
    const std::string dir = UserFilesDir("Log");
    if (dir.empty())
        return {};
    return dir + DarFile::FileName(no);
}

bool TGIGEShowForm::WriteDar(const std::string& path)
{
    // The rows as the grid shows them, the numbers read back with the locale's parser.
    std::vector<DarRow> rows;
    for (const GiGeRowText& r : model_->Rows()) {
        const double gi = std::strtod(NormalizeDecimalSeparator(r.gi).c_str(), nullptr);
        const double ge = std::strtod(NormalizeDecimalSeparator(r.ge).c_str(), nullptr);
        rows.push_back(DarRow{r.number, gi, ge});
    }
    if (DarFile::Write(path, rows))
        return true;
    ShowErrorBox(this, QStringLiteral("Не удается записать файл %1").arg(QString::fromStdString(path)));
    return false;
}

bool TGIGEShowForm::SaveClick()
{
    const std::string path = SavePath(transducerNo);
    if (path.empty()) {
        ShowErrorBox(this, QStringLiteral("Не удается создать папку %1")
                               .arg(QString::fromStdString(UserFilesDir() + "Log")));
        return false;
    }
    return WriteDar(path);
}

void TGIGEShowForm::SaveAsClick()
{
    const QString dir = QString::fromStdString(UserFilesDir("Log"));
    const QString name = QString::fromStdString(DarFile::FileName(transducerNo));
    QFileDialog dialog(this, QString(), dir.isEmpty() ? QDir::currentPath() : dir,
                       QStringLiteral("градуировка (*.dar *.DAR)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("dar")); // as Save names its files
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    WriteDar(dialog.selectedFiles().front().toStdString());
}

} // namespace vx4

#include "ui/system_load_window.h"

#include <QCalendarWidget>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QColor>
#include <QGridLayout>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "ui/list_clipboard.h"
#include "ui/widget_helpers.h"

namespace velk {
namespace {

QString Hour(int h) {
    return QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
}

QColor Colour(int band) {
    const Rgb c = BandColour(band);
    return QColor(c.r, c.g, c.b);
}

// The width a column needs to show a text whole: the text, the item margins on both sides, the
// grid line, and a pixel or two for a text that is a fraction of a pixel wider than measured.
int Fit(const QWidget& view, const QString& text) {
    const int margin = view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
    return view.fontMetrics().horizontalAdvance(text) + 2 * margin + 3;
}

// The tables' font: the window's at the size the tables were laid out for (7 points), so that a
// load such as "0.250" fits an hour column.
QFont TableFont(const QWidget& window) {
    QFont font = window.font();
    if (font.pointSizeF() > 7.0)
        font.setPointSizeF(7.0);
    return font;
}

}  // namespace

TrafficTableModel::TrafficTableModel(Kind kind, const TrafficDay& day, QObject* parent)
    : QAbstractTableModel(parent), kind_(kind), day_(day) {}

int TrafficTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    switch (kind_) {
        case Kind::ByPorts:
            return kPortCount;
        case Kind::PerSlot:
            return kSlotCount;
        case Kind::Totals:
            return 2;
        case Kind::Legend:
            return 1;
    }
    return 0;
}

int TrafficTableModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return kind_ == Kind::Legend ? kLoadBands : FirstHourColumn() + kHours;
}

QString TrafficTableModel::HourCell(int row, int hour) const {
    switch (kind_) {
        case Kind::ByPorts:
            return QString::fromStdString(LoadText(day_.PortLoad(row, hour)));
        case Kind::PerSlot:
            return QString::fromStdString(LoadText(day_.SlotLoad(row, hour)));
        case Kind::Totals:
            return QString::fromStdString(row == 0
                                              ? CountText(day_.seizures[static_cast<size_t>(hour)])
                                              : ErlangText(erlang_[static_cast<size_t>(hour)]));
        case Kind::Legend:
            break;
    }
    return {};
}

QVariant TrafficTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const int row = index.row(), col = index.column();
    if (kind_ == Kind::Legend) {
        if (role == Qt::DisplayRole)
            return QString::fromLatin1(BandLegend(col));
        if (role == Qt::BackgroundRole)
            return Colour(col);
        if (role == Qt::TextAlignmentRole)
            return int(Qt::AlignCenter);
        return {};
    }
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    const bool hourColumn = col >= FirstHourColumn();
    if (role == Qt::DisplayRole) {
        if (hourColumn)
            return HourCell(row, col - FirstHourColumn());
        if (kind_ == Kind::ByPorts)
            return QString::fromStdString(col == 0 ? PortIdentifier(row) : PortLabel(row));
        if (kind_ == Kind::PerSlot)
            return QString::fromStdString(SlotLabel(row));
        return row == 0 ? QStringLiteral("Port Seizure") : QStringLiteral("Traffic (by Erlang)");
    }
    // The load tables colour their hour cells by the band of the number they show.
    if (role == Qt::BackgroundRole && hourColumn && kind_ != Kind::Totals)
        return Colour(CellBand(HourCell(row, col - FirstHourColumn()).toStdString()));
    return {};
}

QVariant TrafficTableModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole)
        return int(kind_ == Kind::Legend ? Qt::AlignCenter : (Qt::AlignRight | Qt::AlignVCenter));
    if (role != Qt::DisplayRole)
        return {};
    if (kind_ == Kind::Legend)
        return QStringLiteral("   ");
    if (section >= FirstHourColumn())
        return Hour(section - FirstHourColumn());
    switch (kind_) {
        case Kind::ByPorts:
            return section == 0 ? QStringLiteral("Port") : QStringLiteral("Slot");
        case Kind::PerSlot:
            return QStringLiteral("Slot");
        default:
            return QStringLiteral("Total Values");
    }
}

void TrafficTableModel::Reload() {
    beginResetModel();
    if (kind_ == Kind::Totals) {
        for (int h = 0; h < kHours; ++h)
            erlang_[static_cast<size_t>(h)] = day_.Erlang(h);
    }
    endResetModel();
}

SystemLoadingWindow::SystemLoadingWindow(const AppSettings& settings,
                                         std::filesystem::path trafficDirectory, const Clock& clock,
                                         OperatorPrompt& prompt, QWidget* parent)
    : QWidget(parent, Qt::Window),
      settings_(settings),
      directory_(std::move(trafficDirectory)),
      clock_(clock),
      prompt_(prompt),
      day_(std::make_unique<TrafficDay>()) {
    setObjectName(QStringLiteral("systemLoadWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    // Without a site name the title ends after "System Load".
    setWindowTitle(settings_.Site_Name.empty()
                       ? QStringLiteral("CS1000 System Load")
                       : QStringLiteral("CS1000 System Load at ") +
                             QString::fromStdString(settings_.Site_Name));
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    date_ = new QDateEdit(this);
    date_->setObjectName(QStringLiteral("datePicker"));
    date_->setCalendarPopup(true);
    date_->setAlignment(Qt::AlignRight);
    const LocalTime now = clock_.Now();
    lastDate_ = QDate(now.year, now.month, now.day);
    date_->setDate(lastDate_);
    // Picking a day in the calendar, even the one shown, loads it, and so does Enter in the
    // field; leaving the field loads only a date typed there, not the one it already held.
    connect(date_->calendarWidget(), &QCalendarWidget::clicked, this,
            &SystemLoadingWindow::PickDate);
    connect(date_->calendarWidget(), &QCalendarWidget::activated, this,
            &SystemLoadingWindow::PickDate);
    connect(date_, &QDateEdit::editingFinished, this, [this] {
        if (date_->date() != lastDate_)
            PickDate(date_->date());
    });
    date_->installEventFilter(this);
    top->addWidget(date_);
    status_ = MakeLabel(QStringLiteral("Date is not selected"), "statusText", this);
    top->addWidget(status_, 1);
    auto* import = new QPushButton(QStringLiteral("Import External File"), this);
    import->setObjectName(QStringLiteral("importFileButton"));
    connect(import, &QPushButton::clicked, this, &SystemLoadingWindow::ImportExternalFile);
    top->addWidget(import);
    layout->addLayout(top);

    totalsModel_ = new TrafficTableModel(TrafficTableModel::Kind::Totals, *day_, this);
    totals_ = MakeTable(totalsModel_, "totalsTable", {kLabelWidth});
    totals_->setFixedHeight(totals_->verticalHeader()->defaultSectionSize() * 2 +
                            totals_->horizontalHeader()->sizeHint().height() +
                            totals_->horizontalScrollBar()->sizeHint().height() +
                            2 * totals_->frameWidth());
    layout->addWidget(totals_);

    auto* choose = new QHBoxLayout;
    choose->addWidget(MakeLabel(QStringLiteral("Traffic Table"), "trafficTableLabel", this));
    slotRadio_ = new QRadioButton(QStringLiteral("Average per Slot"), this);
    slotRadio_->setObjectName(QStringLiteral("perSlotRadio"));
    portRadio_ = new QRadioButton(QStringLiteral("By Ports"), this);
    portRadio_->setObjectName(QStringLiteral("byPortsRadio"));
    connect(slotRadio_, &QRadioButton::clicked, this, [this] { ShowTable(true); });
    connect(portRadio_, &QRadioButton::clicked, this, [this] { ShowTable(false); });
    choose->addWidget(slotRadio_);
    choose->addWidget(portRadio_);
    auto* legendModel = new TrafficTableModel(TrafficTableModel::Kind::Legend, *day_, this);
    auto* legend = MakeList("legendTable", this);
    legend->setModel(legendModel);
    legend->setFont(TableFont(*this));
    legend->verticalHeader()->setDefaultSectionSize(legend->fontMetrics().height() + 4);
    int legendWidth = kLegendWidth;
    for (int band = 0; band < kLoadBands; ++band)
        legendWidth = std::max(legendWidth, Fit(*legend, QString::fromLatin1(BandLegend(band))));
    for (int c = 0; c < kLoadBands; ++c)
        legend->setColumnWidth(c, legendWidth);
    legend->horizontalHeader()->hide();
    legend->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    legend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    legend->setFixedSize(kLoadBands * legendWidth + 2 * legend->frameWidth(),
                         legend->verticalHeader()->defaultSectionSize() + 2 * legend->frameWidth());
    legend->setSelectionMode(QAbstractItemView::NoSelection);
    choose->addWidget(legend);
    choose->addStretch(1);
    layout->addLayout(choose);

    byPortsModel_ = new TrafficTableModel(TrafficTableModel::Kind::ByPorts, *day_, this);
    byPorts_ = MakeTable(byPortsModel_, "byPortsTable", {kPortWidth, kSlotWidth});
    perSlotModel_ = new TrafficTableModel(TrafficTableModel::Kind::PerSlot, *day_, this);
    perSlot_ = MakeTable(perSlotModel_, "perSlotTable", {kLabelWidth});
    FitLabelColumns();
    // The hours of the totals stay over the hours of the table below when either is scrolled.
    // A hidden table keeps the size it last had, so it is not asked: it follows when shown.
    for (QTableView* table : {totals_, byPorts_, perSlot_}) {
        connect(table->horizontalScrollBar(), &QScrollBar::valueChanged, this,
                [this, table](int x) {
                    if (scrolling_)
                        return;
                    scrolling_ = true;
                    for (QTableView* other : {totals_, byPorts_, perSlot_}) {
                        if (other != table && other->isVisible())
                            other->horizontalScrollBar()->setValue(x);
                    }
                    scrolling_ = false;
                });
    }
    // Neither table shows before the operator chooses one: the stack starts on an empty page.
    tables_ = new QStackedWidget(this);
    tables_->setObjectName(QStringLiteral("trafficTables"));
    tables_->addWidget(new QWidget(tables_));
    tables_->addWidget(byPorts_);
    tables_->addWidget(perSlot_);
    layout->addWidget(tables_, 1);

    minute_.setSingleShot(true);
    minute_.setInterval(kRereadMs);
    connect(&minute_, &QTimer::timeout, this, &SystemLoadingWindow::OnMinuteTimer);
    // Wide enough for all 24 hours of every table.
    resize(std::max(1010, FullWidth()), 660);
    // Today's traffic, when its file is there, is what the window is opened for.
    std::error_code missing;
    if (std::filesystem::is_regular_file(TrafficFileName(directory_, now.year, now.month, now.day),
                                         missing))
        PickDate(lastDate_);
}

SystemLoadingWindow::~SystemLoadingWindow() {
    CallOffReading();
    // The date field loses focus while the children are torn down and would report an edit.
    date_->disconnect(this);
    date_->calendarWidget()->disconnect(this);
    date_->removeEventFilter(this);
}

QTableView* SystemLoadingWindow::MakeTable(TrafficTableModel* model, const char* name,
                                           std::initializer_list<int> labelWidths) {
    QTableView* view = MakeList(name, this);
    view->setModel(model);
    view->setFont(TableFont(*this));
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    int column = 0;
    for (int width : labelWidths)
        view->setColumnWidth(column++, width);
    for (; column < model->columnCount(); ++column)
        view->setColumnWidth(column, kHourWidth);
    // Scrolled by the pixel, with room for a vertical scroll bar on every table, so that the
    // tables' hours stay in line when they scroll together.
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& pos) {
        QMenu menu(this);
        menu.setObjectName(QStringLiteral("tableMenu"));
        QAction* copy = menu.addAction(QStringLiteral("Copy"));
        if (menu.exec(view->viewport()->mapToGlobal(pos)) == copy)
            CopyListToClipboard(*view->model(), prompt_);
    });
    return view;
}

void SystemLoadingWindow::ShowTable(bool perSlot) {
    slotRadio_->setChecked(perSlot);
    portRadio_->setChecked(!perSlot);
    QTableView* shown = perSlot ? perSlot_ : byPorts_;
    tables_->setCurrentWidget(shown);
    // Once the table has its size here, it takes the totals' place.
    QTimer::singleShot(0, shown, [this, shown] {
        shown->horizontalScrollBar()->setValue(totals_->horizontalScrollBar()->value());
    });
}

void SystemLoadingWindow::FitLabelColumns() {
    // The widths the tables were laid out with, or what the texts need in this font; the port
    // and slot columns of the by-ports table together as wide as the others' label column.
    const int port = std::max(kPortWidth, Fit(*byPorts_, QStringLiteral("03ff")));
    labelWidth_ = std::max({kLabelWidth, port + kSlotWidth,
                            port + Fit(*byPorts_, QString::fromStdString(PortLabel(0))),
                            Fit(*totals_, QStringLiteral("Traffic (by Erlang)")),
                            Fit(*totals_, QStringLiteral("Port Seizure"))});
    totals_->setColumnWidth(0, labelWidth_);
    perSlot_->setColumnWidth(0, labelWidth_);
    byPorts_->setColumnWidth(0, port);
    byPorts_->setColumnWidth(1, labelWidth_ - port);
    hourWidth_ = 0;
    FitHourColumns();
}

void SystemLoadingWindow::FitHourColumns() {
    // A load always has the width of "0.000"; a count of seizures can need more.
    int needed = std::max(kHourWidth, Fit(*totals_, QStringLiteral("0.000")));
    for (int row = 0; row < totalsModel_->rowCount(); ++row) {
        for (int column = 1; column < totalsModel_->columnCount(); ++column)
            needed =
                std::max(needed, Fit(*totals_, totalsModel_->index(row, column).data().toString()));
    }
    if (needed == hourWidth_)
        return;
    hourWidth_ = needed;
    for (QTableView* table : {totals_, byPorts_, perSlot_}) {
        const int first = table == byPorts_ ? 2 : 1;
        for (int column = first; column < table->model()->columnCount(); ++column)
            table->setColumnWidth(column, hourWidth_);
    }
    // Wider hours widen the window with them, so that the day stays in sight.
    if (width() < FullWidth())
        resize(FullWidth(), height());
}

int SystemLoadingWindow::FullWidth() const {
    const QMargins margins = layout()->contentsMargins();
    return labelWidth_ + kHours * hourWidth_ + byPorts_->verticalScrollBar()->sizeHint().width() +
           2 * byPorts_->frameWidth() + margins.left() + margins.right();
}

bool SystemLoadingWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == date_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter)
            PickDate(date_->date());
    }
    return QWidget::eventFilter(watched, event);
}

void SystemLoadingWindow::CallOffReading() {
    wanted_->store(++generation_);
}

bool SystemLoadingWindow::IsToday(const std::filesystem::path& path) const {
    const LocalTime now = clock_.Now();
    return path == TrafficFileName(directory_, now.year, now.month, now.day);
}

void SystemLoadingWindow::PickDate(const QDate& date) {
    lastDate_ = date;
    date_->setDate(date);
    Load(TrafficFileName(directory_, date.year(), date.month(), date.day()), Origin::Picked);
}

void SystemLoadingWindow::OnMinuteTimer() {
    minute_.stop();
    status_->clear();
    Load(remembered_, Origin::Timer);
}

void SystemLoadingWindow::ImportExternalFile() {
    const std::string path = prompt_.ChooseFile("VELK Traffic File (*.trf)|*.trf|*.*|*.*||");
    if (!path.empty())
        Load(path, Origin::Imported);
}

void SystemLoadingWindow::Load(const std::filesystem::path& path, Origin origin) {
    CallOffReading();  // an earlier reading is not wanted any more
    const unsigned generation = generation_;
    ++loading_;
    QPointer<SystemLoadingWindow> self(this);
    QThread* worker = QThread::create([self, wanted = wanted_, path, origin, generation] {
        std::shared_ptr<TrafficDay> day;
        bool ok = false;
        try {
            day = std::make_shared<TrafficDay>();
            ok = LoadTrafficFile(path, *day, [&] { return wanted->load() != generation; });
        } catch (const std::exception&) {
            ok = false;  // the memory cannot be had, or the file cannot be read: a failed load
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, day, ok, path, origin, generation] {
                if (self != nullptr)
                    self->Loaded(day, ok, path, origin, generation);
            },
            Qt::QueuedConnection);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void SystemLoadingWindow::Loaded(std::shared_ptr<TrafficDay> day, bool ok,
                                 const std::filesystem::path& path, Origin origin,
                                 unsigned generation) {
    --loading_;
    if (generation != generation_)
        return;  // a later pick or reading replaced this one
    if (!ok) {
        // No file for the day: the tables keep what they showed; an import that failed says
        // nothing; the minute's re-reading of a file that went away stops.
        if (origin == Origin::Picked)
            ShowNoDataNotice();
        return;
    }
    *day_ = *day;
    totalsModel_->Reload();
    byPortsModel_->Reload();
    perSlotModel_->Reload();
    FitHourColumns();
    switch (origin) {
        case Origin::Picked: {
            remembered_ = path;
            const QDate d = date_->date();
            status_->setText(
                QString::asprintf("Date %04d:%02d:%02d is selected", d.year(), d.month(), d.day()));
            minute_.stop();
            break;
        }
        case Origin::Timer:
            break;
        case Origin::Imported:
            minute_.stop();
            status_->setText(
                QStringLiteral("File %1 is imported").arg(QString::fromStdString(path.string())));
            return;
    }
    if (IsToday(remembered_) && path == remembered_) {
        minute_.start();
        status_->setText(QStringLiteral("Auto data updating for selected today date "));
    }
}

void SystemLoadingWindow::ShowNoDataNotice() {
    auto* notice =
        new QLabel(QStringLiteral("Attention! There is no traffic data for selected date!"), this,
                   Qt::ToolTip | Qt::FramelessWindowHint);
    notice->setObjectName(QStringLiteral("noTrafficNotice"));
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setAlignment(Qt::AlignCenter);
    notice->setWordWrap(true);  // two lines: the sentence is wider than the box
    notice->setFrameStyle(QFrame::Box | QFrame::Plain);
    notice->setStyleSheet(QStringLiteral("background-color: rgb(255,0,0);"));
    notice->setGeometry(geometry().left() + 100, geometry().top() + 200, 280, 40);
    notice->show();
    QTimer::singleShot(3000, notice, &QWidget::close);
}

void SystemLoadingWindow::closeEvent(QCloseEvent* event) {
    minute_.stop();
    CallOffReading();
    emit Closed(this);
    event->accept();
}

}  // namespace velk

#include "ui/import_progress.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "core/analysis/raw_import.h"
#include "ui/widget_helpers.h"

namespace velk {

ImportProgress::ImportProgress(const Clock& clock, QWidget* parent)
    : QDialog(parent), clock_(clock), start_(clock.Seconds()) {
    setObjectName(QStringLiteral("importProgress"));
    setWindowTitle(QStringLiteral("VELK Import Progress"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    elapsed_ = MakeLabel(QStringLiteral("Elapsed Time :"), "elapsedLabel", this);
    estimated_ = MakeLabel(QStringLiteral("Estimated Time :"), "estimatedLabel", this);
    imported_ = MakeLabel(QStringLiteral("Imported Messages Number : "), "importedLabel", this);
    total_ = MakeLabel(QStringLiteral("Estimated Total Imported Messages Number : "),
                       "estimatedTotalLabel", this);
    for (QLabel* l : {elapsed_, estimated_, imported_, total_})
        layout->addWidget(l);
    // A busy indicator where the original played its animation.
    busy_ = new QProgressBar(this);
    busy_->setObjectName(QStringLiteral("importBusy"));
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setMaximumHeight(8);
    layout->addWidget(busy_);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("importPercent"));
    bar_->setRange(0, 100);
    bar_->setValue(0);
    layout->addWidget(bar_);
    cancel_ = new QPushButton(QStringLiteral("Cancel Import"), this);
    cancel_->setObjectName(QStringLiteral("cancelImportButton"));
    layout->addWidget(cancel_, 0, Qt::AlignHCenter);
    connect(cancel_, &QPushButton::clicked, this, &ImportProgress::CancelRequested);
    setMinimumWidth(380);
    FitCaption(*this);
    tick_.setParent(this);
    tick_.setObjectName(QStringLiteral("importTick"));
    tick_.setInterval(kTickMs);
    connect(&tick_, &QTimer::timeout, this, &ImportProgress::ShowTimes);
    tick_.start();
}

void ImportProgress::SetPercent(uint32_t percent) {
    percent_ = percent;
    bar_->setValue(static_cast<int>(percent));
    ShowTimes();
}

void ImportProgress::ShowTimes() {
    const int64_t elapsed = clock_.Seconds() - start_;
    elapsed_->setText(QString::fromStdString(ImportProgressText::Elapsed(elapsed)));
    if (percent_ != 0)
        estimated_->setText(
            QString::fromStdString(ImportProgressText::Estimated(elapsed, percent_)));
}

void ImportProgress::SetImported(uint64_t count) {
    imported_->setText(QString::fromStdString(ImportProgressText::Imported(count)));
    if (percent_ != 0)
        total_->setText(
            QString::fromStdString(ImportProgressText::EstimatedTotal(count, percent_)));
}

void ImportProgress::Finish() {
    tick_.stop();
    finished_ = true;
    close();
}

void ImportProgress::closeEvent(QCloseEvent* event) {
    if (finished_)
        event->accept();
    else
        event->ignore();
}

}  // namespace velk

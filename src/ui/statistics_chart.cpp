#include "ui/statistics_chart.h"

#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

#include "ui/widget_helpers.h"

namespace velk {

StatisticsChart::StatisticsChart(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("statisticChartArea"));
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    caption_ = MakeLabel(QStringLiteral("VELK Statistic Event : Statictic Event Not Selected."),
                         "chartCaption", this);
    box->addWidget(caption_);

    bars_ = new QBarSet(QStringLiteral("Events"));
    bars_->setColor(QColor(70, 110, 200));
    QStringList hours;
    for (int h = 0; h < 24; ++h) {
        *bars_ << 0;
        hours << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
    }
    auto* series = new QBarSeries;
    series->append(bars_);
    auto* chart = new QChart;
    chart->addSeries(series);
    auto* axisX = new QBarCategoryAxis;
    axisX->append(hours);
    QFont small = chart->font();
    small.setPointSizeF(small.pointSizeF() * 0.75);
    axisX->setLabelsFont(small);
    // Upright labels were elided to "..." at this chart's width; turned, all 24 hours show.
    axisX->setLabelsAngle(-90);
    chart->addAxis(axisX, Qt::AlignBottom);
    series->attachAxis(axisX);
    axisY_ = new QValueAxis;
    axisY_->setRange(0, 4);
    axisY_->setTickCount(5);
    axisY_->setLabelFormat(QStringLiteral("%d"));
    axisY_->setLabelsFont(small);
    chart->addAxis(axisY_, Qt::AlignLeft);
    series->attachAxis(axisY_);
    chart->legend()->hide();
    chart->setMargins(QMargins(2, 2, 2, 2));
    view_ = new QChartView(chart, this);
    view_->setObjectName(QStringLiteral("statisticChart"));
    view_->setMinimumHeight(170);
    box->addWidget(view_, 1);
}

void StatisticsChart::Show(const ChartContent& content) {
    int32_t top = 0;
    for (int h = 0; h < 24; ++h) {
        bars_->replace(h, content.hours[static_cast<size_t>(h)]);
        top = std::max(top, content.hours[static_cast<size_t>(h)]);
    }
    // Whole numbers on the axis, with room above the highest bar.
    const ChartScale scale = ScaleFor(top);
    axisY_->setRange(0, static_cast<qreal>(scale.maximum));
    axisY_->setTickCount(scale.Ticks());
    caption_->setText(QString::fromStdString(content.caption));
}

int StatisticsChart::Value(int hour) const {
    return static_cast<int>(bars_->at(hour));
}

}  // namespace velk

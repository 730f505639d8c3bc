#pragma once

#include <QLabel>
#include <QWidget>

#include "core/analysis/statistics_display.h"

class QBarSet;
class QChartView;
class QValueAxis;

namespace velk {

// The chart under the lists: one counter's 24 hourly values as bars, with its caption above.
class StatisticsChart : public QWidget {
    Q_OBJECT
public:
    explicit StatisticsChart(QWidget* parent = nullptr);

    void Show(const ChartContent& content);
    QString Caption() const { return caption_->text(); }
    int Value(int hour) const;

private:
    QLabel* caption_ = nullptr;
    QChartView* view_ = nullptr;
    QBarSet* bars_ = nullptr;
    QValueAxis* axisY_ = nullptr;
};

}  // namespace velk

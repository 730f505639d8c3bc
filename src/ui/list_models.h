#pragma once

#include <QAbstractTableModel>
#include <array>
#include <string>

#include "core/decode/last_calls_ring.h"
#include "core/foundation/statistic_counters.h"

namespace velk {

// The last-calls list: rows 0..29 show the ring oldest first, row 30 the field numbers and names.
class LastCallsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit LastCallsModel(const LastCallsRing& ring, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    // Cells of rows 0..29 hold the ring's texts; called after the ring changed.
    void Refresh();

private:
    const LastCallsRing& ring_;
};

// The detail list of the latest record: number, field name, value.
class DetailModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DetailModel(QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void SetValue(int field, const std::string& text);
    void SetValues(const std::array<std::string, kFieldCount>& values);

private:
    std::array<QString, kFieldCount> values_;
};

// The statistics list: one row per counter, total and 24 hours; zero shows as an empty cell.
class StatisticsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit StatisticsModel(const StatisticCounters& counters, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void RefreshRow(int row);
    void RefreshAll();

private:
    const StatisticCounters& counters_;
};

// Row colours shared by the detail list and the message-detail windows.
QVariant DetailRowBackground(int row);

}  // namespace velk

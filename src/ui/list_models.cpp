#include "ui/list_models.h"

#include <QColor>

#include "core/decode/field_names.h"
#include "core/decode/statistic_rows.h"

namespace velk {
namespace {

QString TwoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString FieldName(int field) {
    const auto name = kFieldNames[static_cast<size_t>(field)];
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

}  // namespace

LastCallsModel::LastCallsModel(const LastCallsRing& ring, QObject* parent)
    : QAbstractTableModel(parent), ring_(ring) {}

int LastCallsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kRingSlots + 1;
}

int LastCallsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kFieldCount + 1;
}

QVariant LastCallsModel::data(const QModelIndex& index, int role) const {
    const int row = index.row();
    const int col = index.column();
    if (role == Qt::DisplayRole) {
        if (row == kRingSlots) {
            return col == 0 ? QStringLiteral("Fields")
                            : QStringLiteral("%1 %2").arg(col).arg(FieldName(col - 1));
        }
        if (col == 0)
            return TwoDigits(row + 1);
        return QString::fromStdString(ring_.Slot(ring_.SlotForRow(row))[col - 1]);
    }
    if (role == Qt::BackgroundRole) {
        if (row % 2 == 0)
            return QColor(Qt::white);
        if (col <= 7)
            return QColor(235, 235, 255);
        if (col <= 33)
            return QColor(255, 255, 235);
        return QColor(235, 255, 235);
    }
    return {};
}

QVariant LastCallsModel::headerData(int section, Qt::Orientation o, int role) const {
    // Headers stand as their cells do: every column of this list is left-aligned.
    if (role == Qt::TextAlignmentRole && o == Qt::Horizontal)
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    if (o == Qt::Vertical)
        return section + 1;
    return section == 0 ? QStringLiteral("Last Calls") : FieldName(section - 1);
}

void LastCallsModel::Refresh() {
    emit dataChanged(index(0, 1), index(kRingSlots - 1, kFieldCount), {Qt::DisplayRole});
}

DetailModel::DetailModel(QObject* parent) : QAbstractTableModel(parent) {}

int DetailModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kFieldCount;
}

int DetailModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant DetailRowBackground(int row) {
    if (row % 2 == 0)
        return QColor(Qt::white);
    if (row <= 5)
        return QColor(235, 235, 255);
    if (row <= 32)
        return QColor(255, 255, 235);
    return QColor(235, 255, 235);
}

QVariant DetailModel::data(const QModelIndex& index, int role) const {
    const int row = index.row();
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
            case 0:
                return TwoDigits(row + 1);
            case 1:
                return FieldName(row);
            default:
                return values_[static_cast<size_t>(row)];
        }
    }
    if (role == Qt::TextAlignmentRole && index.column() == 0)
        return int(Qt::AlignCenter);
    if (role == Qt::BackgroundRole)
        return DetailRowBackground(row);
    return {};
}

QVariant DetailModel::headerData(int section, Qt::Orientation o, int role) const {
    if (role == Qt::TextAlignmentRole && o == Qt::Horizontal)
        return int(section == 0 ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignVCenter));
    if (role != Qt::DisplayRole || o != Qt::Horizontal)
        return {};
    static const char* const kHeaders[] = {"Field Number", "Message fields", "Fields value"};
    return QString::fromLatin1(kHeaders[section]);
}

void DetailModel::SetValue(int field, const std::string& text) {
    values_[static_cast<size_t>(field)] = QString::fromStdString(text);
    emit dataChanged(index(field, 2), index(field, 2), {Qt::DisplayRole});
}

void DetailModel::SetValues(const std::array<std::string, kFieldCount>& values) {
    for (int f = 0; f < kFieldCount; ++f) {
        values_[static_cast<size_t>(f)] = QString::fromStdString(values[static_cast<size_t>(f)]);
    }
    emit dataChanged(index(0, 2), index(kFieldCount - 1, 2), {Qt::DisplayRole});
}

StatisticsModel::StatisticsModel(const StatisticCounters& counters, QObject* parent)
    : QAbstractTableModel(parent), counters_(counters) {}

int StatisticsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kStatisticColumns;
}

int StatisticsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 26;
}

QVariant StatisticsModel::data(const QModelIndex& index, int role) const {
    const int row = index.row();
    const int col = index.column();
    if (role == Qt::DisplayRole) {
        if (col == 0)
            return QString::fromStdString(StatisticRowLabel(row));
        const int32_t v = col == 1 ? counters_.Total(row) : counters_.Hour(col - 2, row);
        return v == 0 ? QString() : QString::number(v);
    }
    if (role == Qt::TextAlignmentRole) {
        return int(col == 0 ? Qt::AlignCenter : (Qt::AlignRight | Qt::AlignVCenter));
    }
    if (role == Qt::BackgroundRole) {
        if (row == 0 || row == 1 || row == 3 || row == 4 || row == 5 || row == 11) {
            return QColor(230, 255, 230);
        }
        if (row == 2 || (row >= 6 && row <= 9))
            return QColor(255, 230, 230);
        if (row == 10)
            return QColor(255, 255, 230);
        return QColor(235, 235, 255);
    }
    return {};
}

QVariant StatisticsModel::headerData(int section, Qt::Orientation o, int role) const {
    if (role == Qt::TextAlignmentRole && o == Qt::Horizontal)
        return int(section == 0 ? Qt::AlignCenter : (Qt::AlignRight | Qt::AlignVCenter));
    if (role != Qt::DisplayRole || o != Qt::Horizontal)
        return {};
    if (section == 0)
        return QStringLiteral("Statistic events");
    if (section == 1)
        return QStringLiteral("Total");
    return TwoDigits(section - 2);
}

void StatisticsModel::RefreshRow(int row) {
    emit dataChanged(index(row, 1), index(row, 25), {Qt::DisplayRole});
}

void StatisticsModel::RefreshAll() {
    emit dataChanged(index(0, 1), index(kStatisticColumns - 1, 25), {Qt::DisplayRole});
}

}  // namespace velk

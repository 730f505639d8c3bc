#pragma once

#include <QDialog>
#include <QTableView>
#include <array>
#include <string>

#include "core/foundation/operator_prompt.h"

namespace velk {

class DetailModel;

// One row of the last-calls list in detail: the 50 fields with their names.
class DetaleMessage : public QDialog {
    Q_OBJECT
public:
    // row: the list row (0-based) the values come from, or -1 for none.
    DetaleMessage(int row, const std::array<std::string, 50>& values, OperatorPrompt& prompt,
                  QWidget* parent = nullptr);
    QTableView* List() const { return list_; }

private:
    QTableView* list_;
    DetailModel* model_;
    OperatorPrompt& prompt_;
};

}  // namespace velk

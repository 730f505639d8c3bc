#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "core/foundation/clock.h"

namespace velk {

// "VELK Import Progress": elapsed and estimated time, the imported count and its estimated total,
// the percentage, a busy indicator and "Cancel Import". Esc and the close box do not close it;
// it closes when the import ends. The times move every 200 ms, whether messages come or not.
class ImportProgress : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTickMs = 200;

    ImportProgress(const Clock& clock, QWidget* parent = nullptr);

    void SetPercent(uint32_t percent);
    void SetImported(uint64_t count);
    // The import ended: the window closes.
    void Finish();

signals:
    void CancelRequested();

protected:
    void reject() override {}
    void closeEvent(QCloseEvent* event) override;

private:
    // Elapsed time, and the estimate from the last percentage.
    void ShowTimes();

    const Clock& clock_;
    QTimer tick_;
    int64_t start_;
    uint32_t percent_ = 0;
    bool finished_ = false;
    QLabel* elapsed_;
    QLabel* estimated_;
    QLabel* imported_;
    QLabel* total_;
    QProgressBar* busy_;
    QProgressBar* bar_;
    QPushButton* cancel_;
};

}  // namespace velk

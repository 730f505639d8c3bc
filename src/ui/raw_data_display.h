#pragma once

#include <QDialog>
#include <QPlainTextEdit>

namespace velk {

// "VELK Raw Data Display": the text of the most recent messages, newest at the bottom.
class CRawDataDisplay : public QDialog {
    Q_OBJECT
public:
    explicit CRawDataDisplay(QWidget* parent = nullptr, int lineLimit = 30);
    void AppendLine(const QString& text);
    QString Text() const { return edit_->toPlainText(); }

private:
    QPlainTextEdit* edit_;
    int lineLimit_;
};

}  // namespace velk

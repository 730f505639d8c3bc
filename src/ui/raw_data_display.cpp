#include "ui/raw_data_display.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace velk {

CRawDataDisplay::CRawDataDisplay(QWidget* parent, int lineLimit)
    : QDialog(parent), edit_(new QPlainTextEdit(this)), lineLimit_(lineLimit) {
    setObjectName(QStringLiteral("rawDataDisplay"));
    setWindowTitle(QStringLiteral("VELK Raw Data Display"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    edit_->setObjectName(QStringLiteral("rawDataText"));
    edit_->setReadOnly(true);
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    edit_->setFont(mono);
    layout->addWidget(edit_);
    resize(990, 440);
}

void CRawDataDisplay::AppendLine(const QString& text) {
    // The display ends with an empty line; with the limit's lines plus that one it is full.
    QTextDocument* doc = edit_->document();
    QTextCursor cursor(doc);
    if (doc->blockCount() > lineLimit_) {
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text + QLatin1Char('\n'));
    edit_->moveCursor(QTextCursor::End);
}

}  // namespace velk

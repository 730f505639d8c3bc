#include "ui/list_clipboard.h"

#include <QApplication>
#include <QClipboard>
#include <new>

namespace velk {

QString ListText(const QAbstractItemModel& model) {
    QString text;
    const int columns = model.columnCount();
    for (int c = 0; c < columns; ++c) {
        if (c > 0)
            text += QLatin1Char('\t');
        text += model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().left(256);
    }
    text += QStringLiteral("\r\n");
    for (int r = 0; r < model.rowCount(); ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c > 0)
                text += QLatin1Char('\t');
            text += model.index(r, c).data(Qt::DisplayRole).toString();
        }
        text += QStringLiteral("\r\n");
    }
    return text;
}

void CopyListToClipboard(const QAbstractItemModel& model, OperatorPrompt& prompt) {
    QString text;
    try {
        text = ListText(model);
    } catch (const std::bad_alloc&) {
        prompt.Message("Not enougth memory!", {}, PromptIcon::Error);
        return;
    }
    QApplication::clipboard()->setText(text);
}

}  // namespace velk

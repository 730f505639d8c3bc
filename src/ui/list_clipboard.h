#pragma once

#include <QAbstractItemModel>
#include <QString>

#include "core/foundation/operator_prompt.h"

namespace velk {

// A list as text: the column headers, then every row, cells separated by TAB, lines by CR LF.
QString ListText(const QAbstractItemModel& model);

// Puts the list on the clipboard as plain text; "Not enougth memory!" when the text cannot be
// made.
void CopyListToClipboard(const QAbstractItemModel& model, OperatorPrompt& prompt);

}  // namespace velk

#pragma once

#include <QLabel>
#include <QString>
#include <QTableView>

namespace velk {

// A label with an object name, sunken like a read-only field when asked.
QLabel* MakeLabel(const QString& text, const char* name, QWidget* parent, bool sunken = false);

// A report-style list: whole-row selection, no editing, no row header, hover tracking.
QTableView* MakeList(const char* name, QWidget* parent);

// The width a window needs so that a window manager shows its whole caption beside its buttons.
int CaptionWidth(const QWidget& window);
// Makes a dialog at least that wide (a message box through a spacer: it sizes itself).
void FitCaption(QWidget& window);

}  // namespace velk

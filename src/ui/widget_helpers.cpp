#include "ui/widget_helpers.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QSpacerItem>
#include <algorithm>

namespace velk {

QLabel* MakeLabel(const QString& text, const char* name, QWidget* parent, bool sunken) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    if (sunken)
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    return label;
}

QTableView* MakeList(const char* name, QWidget* parent) {
    auto* view = new QTableView(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setShowGrid(true);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setHighlightSections(false);
    view->setWordWrap(false);
    view->setMouseTracking(true);
    return view;
}

int CaptionWidth(const QWidget& window) {
    // Title bars use a larger, bolder font than the window's own, and leave room for the icon
    // and three buttons.
    QFont title = window.font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.2);
    return QFontMetrics(title).horizontalAdvance(window.windowTitle()) + 140;
}

void FitCaption(QWidget& window) {
    const int width = CaptionWidth(window);
    if (auto* box = qobject_cast<QMessageBox*>(&window)) {
        if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
            grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
        return;
    }
    window.setMinimumWidth(std::max(window.minimumWidth(), width));
}

}  // namespace velk

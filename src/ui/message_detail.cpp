#include "ui/message_detail.h"

#include <QHeaderView>
#include <QMenu>
#include <QVBoxLayout>

#include "ui/list_clipboard.h"
#include "ui/list_models.h"

namespace velk {

DetaleMessage::DetaleMessage(int row, const std::array<std::string, 50>& values,
                             OperatorPrompt& prompt, QWidget* parent)
    : QDialog(parent), list_(new QTableView(this)), model_(new DetailModel(this)), prompt_(prompt) {
    setObjectName(QStringLiteral("messageDetail"));
    setWindowTitle(
        row < 0
            ? QStringLiteral("Message in detail")
            : QStringLiteral("VELK - Message %1 in detail").arg(row + 1, 2, 10, QLatin1Char('0')));
    setAttribute(Qt::WA_DeleteOnClose);
    if (row >= 0)
        model_->SetValues(values);
    list_->setObjectName(QStringLiteral("detailWindowList"));
    list_->setModel(model_);
    list_->horizontalHeader()->hide();
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
    list_->setShowGrid(true);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setColumnWidth(0, 40);
    list_->setColumnWidth(1, 260);
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        QMenu menu(this);
        menu.setObjectName(QStringLiteral("detailWindowMenu"));
        QAction* copy = menu.addAction(QStringLiteral("Copy"));
        if (menu.exec(list_->viewport()->mapToGlobal(pos)) == copy) {
            CopyListToClipboard(*model_, prompt_);
        }
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_);
    resize(520, 760);
}

}  // namespace velk

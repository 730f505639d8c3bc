#include "ui/qt_operator_prompt.h"

#include <QMessageBox>

#include "ui/widget_helpers.h"

namespace velk {
namespace {

QMessageBox::Icon ToQt(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::Exclamation:
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
        case PromptIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QString Caption(const std::string& caption) {
    return caption.empty() ? QStringLiteral("VELK") : QString::fromStdString(caption);
}

}  // namespace

void QtOperatorPrompt::Message(const std::string& text, const std::string& caption,
                               PromptIcon icon) {
    QMessageBox box(ToQt(icon), Caption(caption), QString::fromStdString(text), QMessageBox::Ok,
                    parent_);
    box.setObjectName(QStringLiteral("operatorMessage"));
    FitCaption(box);
    box.exec();
}

bool QtOperatorPrompt::Confirm(const std::string& text, const std::string& caption,
                               PromptIcon icon) {
    QMessageBox box(ToQt(icon), Caption(caption), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, parent_);
    box.setObjectName(QStringLiteral("operatorQuestion"));
    FitCaption(box);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace velk

#include "ui/qt_operator_prompt.h"

#include <QFileDialog>
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

std::string QtOperatorPrompt::ChooseFile(const std::string& filter) {
    return RunFileDialog(filter, false);
}

std::string QtOperatorPrompt::ChooseFileToSave(const std::string& filter) {
    return RunFileDialog(filter, true);
}

std::string QtOperatorPrompt::RunFileDialog(const std::string& filter, bool save) {
    // "Name (*.raw)|*.raw|*.*|*.*||": pairs of a shown name and its pattern.
    QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        const QString& name = parts[i];
        filters << (name.contains(QLatin1Char('(')) ? name : name + " (" + parts[i + 1] + ")");
    }
    QFileDialog dialog(parent_);
    dialog.setObjectName(save ? QStringLiteral("saveFileDialog") : QStringLiteral("openFileDialog"));
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setNameFilters(filters);
    // A name typed without an extension gets the first filter's, and the question whether to
    // replace a file is asked for the name that will be written.
    if (save && parts.size() > 1 && parts[1].startsWith(QStringLiteral("*.")) &&
        parts[1] != QStringLiteral("*.*"))
        dialog.setDefaultSuffix(parts[1].mid(2));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front().toStdString();
}

}  // namespace velk

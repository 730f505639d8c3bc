#pragma once

#include <QPointer>
#include <QWidget>

#include "core/foundation/operator_prompt.h"

namespace velk {

// Message boxes of the desktop program.
class QtOperatorPrompt : public OperatorPrompt {
public:
    explicit QtOperatorPrompt(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }

    void Message(const std::string& text, const std::string& caption, PromptIcon icon) override;
    bool Confirm(const std::string& text, const std::string& caption, PromptIcon icon) override;
    std::string ChooseFile(const std::string& filter) override;
    std::string ChooseFileToSave(const std::string& filter) override;

private:
    std::string RunFileDialog(const std::string& filter, bool save);

    QPointer<QWidget> parent_;
};

}  // namespace velk

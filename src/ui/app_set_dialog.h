#pragma once

#include <QCheckBox>
#include <QDialog>

#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"

namespace velk {

// "VELK Application settings": whether the main window minimises itself after start.
class AppSet : public QDialog {
    Q_OBJECT
public:
    AppSet(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
           QWidget* parent = nullptr);

private:
    void OnOk();

    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    QCheckBox* launchMin_ = nullptr;
};

}  // namespace velk

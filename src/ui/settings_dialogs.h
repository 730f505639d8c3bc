#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <array>

#include "core/app/settings_dialogs.h"
#include "core/foundation/app_settings.h"
#include "core/foundation/operator_prompt.h"
#include "core/foundation/settings_store.h"
#include "core/record/saving_filter.h"

namespace velk {

// "VELK IP and COM port settings": how VELK reaches the PBX.
class CommunicationSettings : public QDialog {
    Q_OBJECT
public:
    CommunicationSettings(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
                          QWidget* parent = nullptr);
    void Apply();

private:
    void ShowRadios();

    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    CommunicationChoice choice_;
    QLineEdit* site_;
    QComboBox* systemType_;
    QLineEdit* ip_;
    QComboBox* comPort_;
    QComboBox* baud_;
    QLineEdit* serialDevice_ = nullptr;
    int shownDevice_ = -1;
    QLineEdit* hdDirectory_;
    QRadioButton* ipRadio_;
    QRadioButton* comRadio_;
    QRadioButton* hdRadio_;
    QCheckBox* autoConnect_;
};

// "VELK Protocol Settings": message type, reconnection, raw files, buffers, request delay and
// the framing characters kept in stored raw messages.
class VELKProtSet : public QDialog {
    Q_OBJECT
public:
    VELKProtSet(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
                QWidget* parent = nullptr);
    void Ok();

private:
    void SelectMatchingProfile();
    void EnablePictureLabels();
    void ProfileChosen(int index);

    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    int32_t hexType_;
    QRadioButton* hex_;
    QRadioButton* decimal_;
    std::array<QCheckBox*, 5> framing_{};  // STX, ETX, EOT, CR, LF
    std::array<QLabel*, 5> pictures_{};
    QComboBox* profile_;
    QCheckBox *format360_, *hdFormat_, *lcr_, *autoReconnect_, *rawSave_, *rawDaily_;
    QCheckBox *bufferPacked_, *bufferPackedOut_, *bufferDecoded_, *bufferDecodedOut_;
    QLineEdit* bufferTime_;
    QLineEdit* delay_;
};

// "Saver Call Filtering": the call types and trunks that are saved.
class SCFilter : public QDialog {
    Q_OBJECT
public:
    SCFilter(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
             SavingFilter& filter, QWidget* parent = nullptr);
    void Ok();

private:
    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    SavingFilter& filter_;
    std::array<QCheckBox*, kCallTypeCount> types_{};
    QLineEdit* calling_;
    QLineEdit* called_;
    QCheckBox* trunkAnd_;
    QCheckBox* use_;
};

// The saver settings: which fields the decoded record files hold, and how they are written.
class CSaverSetting : public QDialog {
    Q_OBJECT
public:
    CSaverSetting(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
                  SavingFilter& filter, QWidget* parent = nullptr);
    void Apply();
    void ShowOwnSet();

private:
    AppSettings& settings_;
    const SettingsStore& store_;
    OperatorPrompt& prompt_;
    SavingFilter& filter_;
    std::array<QCheckBox*, kSavedColumnCount> checks_{};
    std::array<QComboBox*, kSavedColumnCount> fields_{};
    QCheckBox* doSaving_;
    QCheckBox* makeHeader_;
    QLineEdit* separator_;
    QLineEdit* extension_;
};

}  // namespace velk

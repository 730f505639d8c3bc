#include "ui/settings_dialogs.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "core/foundation/ini_file.h"
#include "support/qt_app.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

class DialogTest : public ::testing::Test {
protected:
    DialogTest() : store_(dir_.Path()), filter_(settings_, nullptr) {}

    template <typename W>
    W* Find(QWidget& dialog, const char* name) {
        W* w = dialog.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    AppSettings ReadBack() {
        AppSettings read;
        SettingsStore(dir_.Path()).ReadIniFile(read);
        return read;
    }
    void MakeUnwritable() { std::filesystem::create_directory(dir_ / "VELK.INI"); }

    test::QtApp app_;
    test::TempDir dir_;
    SettingsStore store_;
    AppSettings settings_;
    test::ScriptedPrompt prompt_;
    SavingFilter filter_;
};

TEST_F(DialogTest, CommunicationValidationMessagesInOrder) {
    settings_.IP_Used = 1;
    CommunicationSettings d(settings_, store_, prompt_);
    d.show();
    EXPECT_EQ(d.windowTitle(), "VELK IP and COM port settings");
    Find<QLineEdit>(d, "ipAddressEdit")->clear();
    Find<QComboBox>(d, "systemTypeList")->setCurrentIndex(-1);
    d.Apply();
    EXPECT_EQ(prompt_.Texts().back(),
              "You have selected IP, \nbut you did not inter \nany IP Address!");
    EXPECT_TRUE(d.isVisible());
    Find<QLineEdit>(d, "ipAddressEdit")->setText("10.0.0.1");
    d.Apply();
    EXPECT_EQ(prompt_.Texts().back(),
              "You have selected IP, \nbut you did not inter \nany Server port!");
    Find<QRadioButton>(d, "hdRadio")->click();
    Find<QComboBox>(d, "comPortList")->setCurrentIndex(-1);
    d.Apply();
    EXPECT_EQ(prompt_.Texts().back(),
              "You have selected COM, \nbut you did not inter \nany COM port number!");
    Find<QComboBox>(d, "comPortList")->setCurrentIndex(1);
    Find<QComboBox>(d, "baudRateList")->setCurrentIndex(-1);
    d.Apply();
    EXPECT_EQ(prompt_.Texts().back(),
              "You have selected COM, \nbut you did not inter \nany COM port baud rate!");
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "VELK.INI"));
    EXPECT_EQ(Find<QLineEdit>(d, "ipAddressEdit")->maxLength(), 16);
}

TEST_F(DialogTest, CommunicationRadiosAndApply) {
    settings_.IP_Used = 1;
    settings_.HD_Used = 1;
    CommunicationSettings d(settings_, store_, prompt_);
    EXPECT_TRUE(Find<QRadioButton>(d, "hdRadio")->isChecked());  // HD shown whatever IP_Used says
    EXPECT_FALSE(Find<QRadioButton>(d, "ipRadio")->isChecked());
    Find<QRadioButton>(d, "ipRadio")->click();
    EXPECT_TRUE(Find<QRadioButton>(d, "ipRadio")->isChecked());
    Find<QComboBox>(d, "systemTypeList")->setCurrentIndex(3);
    Find<QLineEdit>(d, "siteNameEdit")->setText("North");
    Find<QCheckBox>(d, "connectOnExecutionCheck")->setChecked(true);
    d.show();
    d.Apply();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(settings_.IP_Used, 1);
    EXPECT_EQ(settings_.HD_Used, 0);
    EXPECT_EQ(settings_.Server_Port_index, 3);
    EXPECT_EQ(settings_.Server_Port_name, "iPECS-MG Billing Server");
    EXPECT_EQ(settings_.COM_Port_number, "COM1");
    EXPECT_EQ(settings_.COM_Port_baud_rate, "1200");
    const AppSettings read = ReadBack();
    EXPECT_EQ(read.Site_Name, "North");
    EXPECT_EQ(read.AutoConnection, 1);
    EXPECT_EQ(read.Server_Port_index, 3);
    IniDocument doc;
    doc.Load(dir_ / "VELK.INI");
    EXPECT_EQ(doc.Get("Settings", "Server Port name"), "iPECS-MG Billing Server");
}

// Beside the COM list stands the device file of the chosen name; edits are kept per name.
TEST_F(DialogTest, CommunicationDialogEditsTheDeviceOfEachComName) {
    settings_.Serial_Ports[2] = "/dev/ttyUSB0";
    settings_.COM_Port_number_index = 2;
    CommunicationSettings d(settings_, store_, prompt_);
    auto* list = Find<QComboBox>(d, "comPortList");
    auto* device = Find<QLineEdit>(d, "serialDeviceEdit");
    EXPECT_EQ(device->text(), "/dev/ttyUSB0");
    list->setCurrentIndex(0);
    EXPECT_EQ(device->text(), "/dev/ttyS0");
    device->clear();
    QTest::keyClicks(device, "/dev/ttyACM0");
    list->setCurrentIndex(2);
    EXPECT_EQ(device->text(), "/dev/ttyUSB0");
    list->setCurrentIndex(0);
    EXPECT_EQ(device->text(), "/dev/ttyACM0");
    Find<QRadioButton>(d, "comRadio")->click();
    d.Apply();
    EXPECT_EQ(settings_.Serial_Ports[0], "/dev/ttyACM0");
    EXPECT_EQ(settings_.Serial_Ports[2], "/dev/ttyUSB0");
    EXPECT_EQ(settings_.COM_Port_number_index, 0);
    IniDocument doc;
    doc.Load(dir_ / "VELK.INI");
    EXPECT_EQ(doc.Get("Serial Ports", "COM1"), "/dev/ttyACM0");
    EXPECT_EQ(doc.Get("Serial Ports", "COM4"), "/dev/ttyS3");
    EXPECT_EQ(ReadBack().Serial_Ports[0], "/dev/ttyACM0");
}

TEST_F(DialogTest, ProtocolPresetsFollowTheCheckBoxes) {
    VELKProtSet d(settings_, store_, prompt_);
    auto* profile = Find<QComboBox>(d, "rawProfileList");
    EXPECT_EQ(profile->currentText(), "Your Profile");  // the defaults: STX, CR, LF
    Find<QCheckBox>(d, "stxCheck")->click();
    EXPECT_EQ(profile->currentText(), "VELK Profile");
    EXPECT_FALSE(Find<QLabel>(d, "stxPicture")->isEnabled());
    for (const char* name : {"stxCheck", "etxCheck", "eotCheck", "crCheck", "lfCheck"}) {
        Find<QCheckBox>(d, name)->click();
    }
    EXPECT_EQ(profile->currentText(), "Tarvik Profile");
    EXPECT_TRUE(Find<QLabel>(d, "eotPicture")->isEnabled());
    EXPECT_FALSE(Find<QLabel>(d, "crPicture")->isEnabled());
    profile->setCurrentIndex(1);
    emit profile->activated(1);
    EXPECT_FALSE(Find<QCheckBox>(d, "etxCheck")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(d, "lfCheck")->isChecked());
}

TEST_F(DialogTest, ProtocolRangesAndDelayShownAs200) {
    settings_.RequestDelayAfterNormalData = 20;
    VELKProtSet d(settings_, store_, prompt_);
    d.show();
    EXPECT_EQ(d.windowTitle(), "VELK Protocol Settings");
    EXPECT_EQ(Find<QLineEdit>(d, "requestDelayEdit")->text(), "200");
    for (const char* bad : {"0", "10", ""}) {
        Find<QLineEdit>(d, "bufferTimeEdit")->setText(bad);
        d.Ok();
        EXPECT_EQ(prompt_.Texts().back(),
                  "Please Check!\nBuffer Update Max Time should be within 1 - 9!");
        EXPECT_TRUE(d.isVisible());
    }
    Find<QLineEdit>(d, "bufferTimeEdit")->setText("9");
    Find<QLineEdit>(d, "requestDelayEdit")->setText("1001");
    d.Ok();
    EXPECT_EQ(prompt_.Texts().back(),
              "Please Check!\nRequest delay after Normal Data should be within 50 - 1000 mSec!");
    EXPECT_EQ(settings_.BufferUpdateMaxTimer, 1);  // nothing stored
    Find<QLineEdit>(d, "requestDelayEdit")->setText("200");
    Find<QRadioButton>(d, "decimalRadio")->click();
    Find<QCheckBox>(d, "rawSaveCheck")->setChecked(true);
    d.Ok();
    EXPECT_FALSE(d.isVisible());
    const AppSettings read = ReadBack();
    EXPECT_EQ(read.RequestDelayAfterNormalData, 200);
    EXPECT_EQ(read.BufferUpdateMaxTimer, 9);
    EXPECT_EQ(read.Hex_Type, 0);
    EXPECT_EQ(read.RawSave, 1);
}

TEST_F(DialogTest, SaverProfilesAndApply) {
    CSaverSetting d(settings_, store_, prompt_, filter_);
    d.show();
    Find<QRadioButton>(d, "cs1000Radio")->click();
    EXPECT_EQ(Find<QComboBox>(d, "field8List")->currentText(), "Call Type");
    EXPECT_TRUE(Find<QCheckBox>(d, "field24Check")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(d, "field25Check")->isChecked());
    EXPECT_EQ(Find<QComboBox>(d, "field25List")->currentText(), "Empty");
    Find<QRadioButton>(d, "ipecsRadio")->click();
    EXPECT_EQ(Find<QComboBox>(d, "field7List")->currentText(), "DISA Autorization Code");
    Find<QRadioButton>(d, "allFieldsRadio")->click();
    EXPECT_EQ(Find<QComboBox>(d, "field50List")->currentText(), "Call Release Reason");
    Find<QComboBox>(d, "field2List")->setCurrentIndex(-1);  // no selection is stored as -1
    Find<QLineEdit>(d, "separatorEdit")->setText("09");
    Find<QCheckBox>(d, "doSavingCheck")->setChecked(true);
    prompt_.answers = {false, true};
    d.Apply();
    EXPECT_EQ(prompt_.shown.back().text, "Are you sure\nthe Settings correct?");
    EXPECT_EQ(prompt_.shown.back().caption, "VELK Saver Settings");
    EXPECT_TRUE(d.isVisible());
    d.Apply();
    EXPECT_FALSE(d.isVisible());
    const AppSettings read = ReadBack();
    EXPECT_EQ(read.SaveInd[1], -1);
    EXPECT_EQ(read.SaveInd[49], 49);
    EXPECT_EQ(read.f[49], 1);
    EXPECT_EQ(read.Distributor_ASCII_Code, "09");
    EXPECT_EQ(read.SaveToFile, 1);
    EXPECT_EQ(Find<QLineEdit>(d, "extensionEdit")->maxLength(), 3);
}

TEST_F(DialogTest, FilterDialogListsAndStoreOrder) {
    SCFilter d(settings_, store_, prompt_, filter_);
    d.show();
    EXPECT_EQ(d.windowTitle(), "Saver Call Filtering");
    EXPECT_EQ(Find<QCheckBox>(d, "callType11Check")->text(), " Incoming Call");
    Find<QLineEdit>(d, "callingTrunksEdit")->setText("");
    Find<QLineEdit>(d, "calledTrunksEdit")->setText("5-3");
    d.Ok();
    EXPECT_EQ(prompt_.Texts().back(), "Error in Called Trunks Assignment!\n");
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(settings_.SCCallingSequence, "1-1024");  // in force already
    Find<QLineEdit>(d, "calledTrunksEdit")->setText(" 7 , 9-11 ");
    Find<QCheckBox>(d, "useFilterCheck")->setChecked(true);
    Find<QCheckBox>(d, "callType13Check")->setChecked(false);
    d.Ok();
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(filter_.Called().count(), 4u);
    const AppSettings read = ReadBack();
    EXPECT_EQ(read.SCCalledSequence, "7,9-11");
    EXPECT_EQ(read.SCFilter_USE, 1);
    EXPECT_EQ(read.T[13], 0);
}

TEST_F(DialogTest, EveryDialogReportsAnUnwritableSettingsFile) {
    MakeUnwritable();
    {
        CommunicationSettings d(settings_, store_, prompt_);
        d.Apply();
    }
    {
        VELKProtSet d(settings_, store_, prompt_);
        d.Ok();
    }
    {
        prompt_.answers = {true};
        CSaverSetting d(settings_, store_, prompt_, filter_);
        d.Apply();
    }
    {
        SCFilter d(settings_, store_, prompt_, filter_);
        d.Ok();
    }
    int failures = 0;
    for (const auto& text : prompt_.Texts())
        failures += text == "Impossible to Update *.ini file!";
    EXPECT_EQ(failures, 4);
}

}  // namespace
}  // namespace velk

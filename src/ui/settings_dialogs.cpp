#include "ui/settings_dialogs.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QVBoxLayout>

#include "core/decode/field_names.h"
#include "core/record/saver_profiles.h"

namespace velk {
namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QGroupBox* Group(const QString& title, QWidget* content, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(content);
    return box;
}

QLineEdit* NumberEdit(const char* name, int digits, QWidget* parent) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(digits)), edit));
    edit->setMaximumWidth(80);
    return edit;
}

bool WriteSettings(const SettingsStore& store, const AppSettings& settings) {
    return store.WriteIniFile(settings) == 1;
}

}  // namespace

// ---------------------------------------------------------------- communication settings

CommunicationSettings::CommunicationSettings(AppSettings& settings, const SettingsStore& store,
                                             OperatorPrompt& prompt, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      store_(store),
      prompt_(prompt),
      choice_(CommunicationFromSettings(settings)) {
    setObjectName(QStringLiteral("communicationDialog"));
    setWindowTitle(QStringLiteral("VELK IP and COM port settings"));
    setModal(true);
    auto* layout = new QGridLayout(this);

    site_ = Named(new QLineEdit(Q(settings.Site_Name), this), "siteNameEdit");
    site_->setMaxLength(36);
    layout->addWidget(Group(QStringLiteral("Site Name"), site_, this), 0, 0, 1, 2);

    systemType_ = Named(new QComboBox(this), "systemTypeList");
    for (int i = 0; i < 4; ++i)
        systemType_->addItem(QString::fromLatin1(SystemTypeName(i)));
    systemType_->setCurrentIndex(choice_.systemType);
    layout->addWidget(Group(QStringLiteral("System Type"), systemType_, this), 1, 0);

    ip_ = Named(new QLineEdit(Q(settings.APP_IPAddr), this), "ipAddressEdit");
    ip_->setMaxLength(16);
    layout->addWidget(Group(QStringLiteral("IP Address"), ip_, this), 1, 1);

    auto* com = new QWidget(this);
    auto* comLayout = new QHBoxLayout(com);
    comLayout->setContentsMargins(0, 0, 0, 0);
    comPort_ = Named(new QComboBox(com), "comPortList");
    for (int i = 0; i < 4; ++i)
        comPort_->addItem(QString::fromLatin1(ComPortName(i)));
    comPort_->setCurrentIndex(choice_.comPort);
    baud_ = Named(new QComboBox(com), "baudRateList");
    for (int i = 0; i < 8; ++i)
        baud_->addItem(QString::fromLatin1(BaudRateText(i)));
    baud_->setCurrentIndex(choice_.baudRate);
    // The device file behind the chosen COM name, beside the list; edits are kept per name.
    serialDevice_ = Named(new QLineEdit(com), "serialDeviceEdit");
    serialDevice_->setMaxLength(259);
    serialDevice_->setMinimumWidth(120);
    serialDevice_->setToolTip(QStringLiteral("The device file of this COM port"));
    const auto showDevice = [this](int index) {
        shownDevice_ = index;
        serialDevice_->setEnabled(index >= 0 && index < 4);
        serialDevice_->setText(index >= 0 && index < 4 ? Q(choice_.serialDevices[index])
                                                       : QString());
    };
    connect(serialDevice_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (shownDevice_ >= 0 && shownDevice_ < 4)
            choice_.serialDevices[static_cast<size_t>(shownDevice_)] = text.toStdString();
    });
    connect(comPort_, &QComboBox::currentIndexChanged, this, showDevice);
    showDevice(comPort_->currentIndex());
    comLayout->addWidget(comPort_);
    comLayout->addWidget(serialDevice_, 1);
    comLayout->addWidget(baud_);
    layout->addWidget(Group(QStringLiteral("COM Port "), com, this), 2, 0);

    hdDirectory_ =
        Named(new QLineEdit(Q(settings.APP_HD_Buffer_Directory), this), "hdDirectoryEdit");
    hdDirectory_->setMaxLength(259);
    layout->addWidget(Group(QStringLiteral("Hard Disk Data Buffer Direcrory"), hdDirectory_, this),
                      2, 1);

    auto* radios = new QWidget(this);
    auto* radioLayout = new QHBoxLayout(radios);
    radioLayout->setContentsMargins(0, 0, 0, 0);
    ipRadio_ = Named(new QRadioButton(QStringLiteral("IP"), radios), "ipRadio");
    comRadio_ = Named(new QRadioButton(QStringLiteral("COM"), radios), "comRadio");
    hdRadio_ = Named(new QRadioButton(QStringLiteral("HD"), radios), "hdRadio");
    for (QRadioButton* r : {ipRadio_, comRadio_, hdRadio_})
        radioLayout->addWidget(r);
    layout->addWidget(Group(QStringLiteral("Selected"), radios, this), 3, 0);
    connect(ipRadio_, &QRadioButton::clicked, this, [this] {
        choice_.ip = true, choice_.com = false, choice_.hd = false;
        ShowRadios();
    });
    connect(comRadio_, &QRadioButton::clicked, this, [this] {
        choice_.ip = false, choice_.com = true, choice_.hd = false;
        ShowRadios();
    });
    connect(hdRadio_, &QRadioButton::clicked, this, [this] {
        choice_.ip = false, choice_.com = false, choice_.hd = true;
        ShowRadios();
    });
    ShowRadios();

    autoConnect_ = Named(new QCheckBox(QStringLiteral("Connect on Execution?"), this),
                         "connectOnExecutionCheck");
    autoConnect_->setChecked(choice_.autoConnection == 1);
    layout->addWidget(autoConnect_, 3, 1);
    auto* apply = Named(new QPushButton(QStringLiteral("Apply"), this), "applyButton");
    apply->setDefault(true);
    layout->addWidget(apply, 4, 1, Qt::AlignRight);
    connect(apply, &QPushButton::clicked, this, &CommunicationSettings::Apply);
}

void CommunicationSettings::ShowRadios() {
    const LinkRadio shown = ShownRadio(choice_);
    ipRadio_->setChecked(shown == LinkRadio::Ip);
    comRadio_->setChecked(shown == LinkRadio::Com);
    hdRadio_->setChecked(shown == LinkRadio::Hd);
}

void CommunicationSettings::Apply() {
    choice_.siteName = site_->text().toStdString();
    choice_.ipAddress = ip_->text().toStdString();
    choice_.hdDirectory = hdDirectory_->text().toStdString();
    choice_.systemType = systemType_->currentIndex();
    choice_.comPort = comPort_->currentIndex();
    choice_.baudRate = baud_->currentIndex();
    choice_.autoConnection = autoConnect_->isChecked() ? 1 : 0;
    if (const auto message = ValidateCommunication(choice_)) {
        prompt_.Message(*message);
        return;
    }
    ApplyCommunication(choice_, settings_);
    if (!WriteSettings(store_, settings_))
        prompt_.Message(kIniUpdateFailed);
    accept();
}

// ---------------------------------------------------------------- protocol settings

VELKProtSet::VELKProtSet(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
                         QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      store_(store),
      prompt_(prompt),
      hexType_(settings.Hex_Type) {
    setObjectName(QStringLiteral("protocolDialog"));
    setWindowTitle(QStringLiteral("VELK Protocol Settings"));
    setModal(true);
    const ProtocolChoice c = ProtocolFromSettings(settings);
    auto* layout = new QGridLayout(this);
    const auto check = [this](const char* text, const char* name, bool on) {
        auto* box = Named(new QCheckBox(QString::fromLatin1(text), this), name);
        box->setChecked(on);
        return box;
    };

    auto* type = new QGroupBox(QStringLiteral("Billing Message Type"), this);
    auto* typeLayout = new QVBoxLayout(type);
    hex_ = Named(new QRadioButton(QStringLiteral("Hex"), type), "hexRadio");
    decimal_ = Named(new QRadioButton(QStringLiteral("Decimal"), type), "decimalRadio");
    (hexType_ == 1 ? hex_ : decimal_)->setChecked(true);
    connect(hex_, &QRadioButton::clicked, this, [this] { hexType_ = 1; });
    connect(decimal_, &QRadioButton::clicked, this, [this] { hexType_ = 0; });
    format360_ = check("CS1000 360 Format", "format360Check", c.format360);
    hdFormat_ = check("HD Format", "hdFormatCheck", c.hdFormat);
    lcr_ = check("CS1000 LCR Digits in Mandatory Fields", "lcrCheck", c.lcrInMandatory);
    for (QWidget* w :
         std::initializer_list<QWidget*>{hex_, decimal_, format360_, hdFormat_, lcr_}) {
        typeLayout->addWidget(w);
    }
    layout->addWidget(type, 0, 0);

    auto* right = new QVBoxLayout;
    auto* reconnect =
        new QGroupBox(QStringLiteral("Sequentially Faults Auto Reconnection to the system?"), this);
    auto* reconnectLayout = new QVBoxLayout(reconnect);
    autoReconnect_ = check("", "autoReconnectCheck", c.autoReConnection);
    reconnectLayout->addWidget(autoReconnect_);
    right->addWidget(reconnect);
    auto* raw = new QGroupBox(
        QStringLiteral("VELK Raw Data File save to ...\\Bill and ...\\Bill_Backup?"), this);
    auto* rawLayout = new QHBoxLayout(raw);
    rawSave_ = check("Save", "rawSaveCheck", c.rawSave);
    rawDaily_ = check("Daily File ?", "rawDailyCheck", c.rawSaveDaily);
    rawLayout->addWidget(rawSave_);
    rawLayout->addWidget(rawDaily_);
    right->addWidget(raw);
    auto* delayRow = new QHBoxLayout;
    delay_ = NumberEdit("requestDelayEdit", 5, this);
    delay_->setText(QString::number(c.requestDelay));
    delayRow->addWidget(delay_);
    delayRow->addWidget(
        new QLabel(QStringLiteral("Request delay after Normal Data (50-1000 mSec)"), this));
    right->addLayout(delayRow);
    layout->addLayout(right, 0, 1);

    auto* buffers =
        new QGroupBox(QStringLiteral("VELK file buffer procedure in ...\\Buffers"), this);
    auto* buffersLayout = new QGridLayout(buffers);
    bufferPacked_ =
        check("VELK Raw Data File  (buffer_out.raw)", "bufferPackedCheck", c.bufferPacked);
    bufferPackedOut_ = check("VELK Raw Data File  in ...Buffers\\Raw", "bufferPackedOutCheck",
                             c.bufferPackedToOut);
    bufferDecoded_ =
        check("Decoded message File (buffer_out.csv)", "bufferDecodedCheck", c.bufferDecoded);
    bufferDecodedOut_ = check("Decoded message File in ...Buffers\\CSV", "bufferDecodedOutCheck",
                              c.bufferDecodedToOut);
    buffersLayout->addWidget(bufferPacked_, 0, 0);
    buffersLayout->addWidget(bufferPackedOut_, 0, 1);
    buffersLayout->addWidget(bufferDecoded_, 1, 0);
    buffersLayout->addWidget(bufferDecodedOut_, 1, 1);
    bufferTime_ = NumberEdit("bufferTimeEdit", 2, buffers);
    bufferTime_->setText(QString::number(c.bufferMinutes));
    buffersLayout->addWidget(bufferTime_, 2, 0, Qt::AlignLeft);
    buffersLayout->addWidget(
        new QLabel(QStringLiteral("Buffer Update Max Time, Minunes (1-9)"), buffers), 2, 1);
    layout->addWidget(buffers, 1, 0, 1, 2);

    auto* content =
        new QGroupBox(QStringLiteral("VELK Raw Data Message Content to be saved"), this);
    auto* contentLayout = new QVBoxLayout(content);
    framing_[0] = check("STX (02 hex) -  Save Start Transmission character in the message",
                        "stxCheck", c.stx);
    framing_[1] = check("ETX (03 hex) -  Save End  Transmission  character in the message",
                        "etxCheck", c.etx);
    framing_[2] = check("EOT (04 hex) -  Save End Off Transmission", "eotCheck", c.eot);
    framing_[3] =
        check("CR  (0d hex) - Add Carriage Return at the saved message end", "crCheck", c.cr);
    framing_[4] = check("LF   (0a hex) - Add Line Feed at the  saved message end", "lfCheck", c.lf);
    for (QCheckBox* box : framing_) {
        contentLayout->addWidget(box);
        connect(box, &QCheckBox::clicked, this, [this] {
            SelectMatchingProfile();
            EnablePictureLabels();
        });
    }
    auto* picture = new QFrame(content);
    picture->setObjectName(QStringLiteral("messagePicture"));
    picture->setFrameStyle(QFrame::Box);
    auto* pictureLayout = new QHBoxLayout(picture);
    const char* const pictureTexts[] = {"STX", "ETX", "EOT", "CR", "LF"};
    const char* const pictureNames[] = {"stxPicture", "etxPicture", "eotPicture", "crPicture",
                                        "lfPicture"};
    pictures_[0] =
        Named(new QLabel(QString::fromLatin1(pictureTexts[0]), picture), pictureNames[0]);
    pictureLayout->addWidget(pictures_[0]);
    pictureLayout->addWidget(
        Named(new QLabel(QStringLiteral("Raw Data Message Fields"), picture), "fieldsPicture"));
    for (size_t i = 1; i < 5; ++i) {
        pictures_[i] =
            Named(new QLabel(QString::fromLatin1(pictureTexts[i]), picture), pictureNames[i]);
        pictureLayout->addWidget(pictures_[i]);
    }
    contentLayout->addWidget(picture);
    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(
        new QLabel(QStringLiteral("VELK Raw Data Message Content Profiles"), content));
    profile_ = Named(new QComboBox(content), "rawProfileList");
    for (int p = 0; p < 3; ++p)
        profile_->addItem(QString::fromLatin1(RawProfileName(p)));
    profileRow->addWidget(profile_);
    contentLayout->addLayout(profileRow);
    layout->addWidget(content, 2, 0, 1, 2);
    SelectMatchingProfile();
    EnablePictureLabels();
    connect(profile_, &QComboBox::activated, this, &VELKProtSet::ProfileChosen);

    auto* ok = Named(new QPushButton(QStringLiteral("OK"), this), "okButton");
    ok->setDefault(true);
    layout->addWidget(ok, 3, 1, Qt::AlignRight);
    connect(ok, &QPushButton::clicked, this, &VELKProtSet::Ok);
}

void VELKProtSet::SelectMatchingProfile() {
    profile_->setCurrentIndex(MatchingRawProfile(framing_[0]->isChecked(), framing_[1]->isChecked(),
                                                 framing_[2]->isChecked(), framing_[3]->isChecked(),
                                                 framing_[4]->isChecked()));
}

void VELKProtSet::EnablePictureLabels() {
    for (size_t i = 0; i < 5; ++i)
        pictures_[i]->setEnabled(framing_[i]->isChecked());
}

void VELKProtSet::ProfileChosen(int index) {
    if (index == 1 || index == 2) {
        const bool tarvik = index == 2;
        for (size_t i = 0; i < 3; ++i)
            framing_[i]->setChecked(tarvik);
        framing_[3]->setChecked(!tarvik);
        framing_[4]->setChecked(!tarvik);
    }
    EnablePictureLabels();
}

void VELKProtSet::Ok() {
    ProtocolChoice c;
    c.hexType = hexType_;
    c.format360 = format360_->isChecked();
    c.hdFormat = hdFormat_->isChecked();
    c.lcrInMandatory = lcr_->isChecked();
    c.autoReConnection = autoReconnect_->isChecked();
    c.rawSave = rawSave_->isChecked();
    c.rawSaveDaily = rawDaily_->isChecked();
    c.bufferPacked = bufferPacked_->isChecked();
    c.bufferPackedToOut = bufferPackedOut_->isChecked();
    c.bufferDecoded = bufferDecoded_->isChecked();
    c.bufferDecodedToOut = bufferDecodedOut_->isChecked();
    c.stx = framing_[0]->isChecked();
    c.etx = framing_[1]->isChecked();
    c.eot = framing_[2]->isChecked();
    c.cr = framing_[3]->isChecked();
    c.lf = framing_[4]->isChecked();
    c.bufferMinutes = bufferTime_->text().toInt();
    c.requestDelay = delay_->text().toInt();
    if (const auto message = ValidateProtocol(c)) {
        prompt_.Message(*message);
        return;
    }
    ApplyProtocol(c, settings_);
    if (!WriteSettings(store_, settings_))
        prompt_.Message(kIniUpdateFailed);
    accept();
}

// ---------------------------------------------------------------- saving filter

SCFilter::SCFilter(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
                   SavingFilter& filter, QWidget* parent)
    : QDialog(parent), settings_(settings), store_(store), prompt_(prompt), filter_(filter) {
    setObjectName(QStringLiteral("filterDialog"));
    setWindowTitle(QStringLiteral("Saver Call Filtering"));
    setModal(true);
    auto* layout = new QGridLayout(this);
    auto* types = new QGroupBox(QStringLiteral("Call Type for Saving"), this);
    auto* typesLayout = new QGridLayout(types);
    for (int t = 0; t < kCallTypeCount; ++t) {
        const auto name = kCallTypeNames[static_cast<size_t>(t)];
        auto* box =
            new QCheckBox(QStringLiteral(" ") +
                              QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())),
                          types);
        box->setObjectName(QStringLiteral("callType%1Check").arg(t));
        box->setChecked(settings.T[static_cast<size_t>(t)] == 1);
        types_[static_cast<size_t>(t)] = box;
        typesLayout->addWidget(box, t % 7, t / 7);
    }
    layout->addWidget(types, 0, 0, 1, 2);
    calling_ = Named(new QLineEdit(Q(settings.SCCallingSequence), this), "callingTrunksEdit");
    calling_->setMaxLength(70);
    layout->addWidget(
        Group(QStringLiteral("Calling Trunks :1-1024 ( Ex: 1,2,3-5 )"), calling_, this), 1, 0, 1,
        2);
    called_ = Named(new QLineEdit(Q(settings.SCCalledSequence), this), "calledTrunksEdit");
    called_->setMaxLength(70);
    layout->addWidget(Group(QStringLiteral("Called Trunks :1-1024 ( Ex: 1,2,3-5 )"), called_, this),
                      2, 0, 1, 2);
    trunkAnd_ = Named(
        new QCheckBox(QStringLiteral(" If set, both of Calling AND Called trunks should be matched "
                                     "for Transit Call Saving."),
                      this),
        "trunkAndCheck");
    trunkAnd_->setChecked(settings.SCFilterTRK_AND == 1);
    layout->addWidget(trunkAnd_, 3, 0, 1, 2);
    use_ = Named(new QCheckBox(QStringLiteral(" To use the Filter?"), this), "useFilterCheck");
    use_->setChecked(settings.SCFilter_USE == 1);
    layout->addWidget(use_, 4, 0);
    auto* ok = Named(new QPushButton(QStringLiteral("OK"), this), "okButton");
    ok->setDefault(true);
    layout->addWidget(ok, 4, 1, Qt::AlignRight);
    connect(ok, &QPushButton::clicked, this, &SCFilter::Ok);
}

void SCFilter::Ok() {
    SavingFilter::DialogValues v;
    v.calling = calling_->text().toStdString();
    v.called = called_->text().toStdString();
    for (size_t t = 0; t < types_.size(); ++t)
        v.types[t] = types_[t]->isChecked() ? 1 : 0;
    v.trunkAnd = trunkAnd_->isChecked() ? 1 : 0;
    v.use = use_->isChecked() ? 1 : 0;
    if (filter_.ApplyDialog(v, prompt_, [this] { return WriteSettings(store_, settings_); })) {
        accept();
    }
}

// ---------------------------------------------------------------- saver settings

CSaverSetting::CSaverSetting(AppSettings& settings, const SettingsStore& store,
                             OperatorPrompt& prompt, SavingFilter& filter, QWidget* parent)
    : QDialog(parent), settings_(settings), store_(store), prompt_(prompt), filter_(filter) {
    setObjectName(QStringLiteral("saverDialog"));
    setWindowTitle(QStringLiteral(
        "VELK Saver Settings (Decoded message Files in ...\\Bill and ...\\Bill_Backup)"));
    setModal(true);
    auto* layout = new QHBoxLayout(this);

    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("columnsArea"));
    auto* rows = new QWidget(scroll);
    auto* grid = new QGridLayout(rows);
    QStringList names;
    for (const auto name : kFieldNames) {
        names << QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
    }
    for (int k = 0; k < kSavedColumnCount; ++k) {
        auto* box =
            new QCheckBox(QStringLiteral("Field %1").arg(k + 1, 2, 10, QLatin1Char('0')), rows);
        box->setObjectName(QStringLiteral("field%1Check").arg(k + 1));
        auto* list = new QComboBox(rows);
        list->setObjectName(QStringLiteral("field%1List").arg(k + 1));
        list->addItems(names);
        checks_[static_cast<size_t>(k)] = box;
        fields_[static_cast<size_t>(k)] = list;
        grid->addWidget(box, k % 25, (k / 25) * 2);
        grid->addWidget(list, k % 25, (k / 25) * 2 + 1);
    }
    scroll->setWidget(rows);
    scroll->setWidgetResizable(true);
    scroll->setMinimumWidth(rows->sizeHint().width() + 30);
    layout->addWidget(scroll, 1);

    auto* side = new QVBoxLayout;
    doSaving_ = Named(new QCheckBox(QStringLiteral("Do saving?"), this), "doSavingCheck");
    makeHeader_ =
        Named(new QCheckBox(QStringLiteral("Make File  Header?"), this), "makeHeaderCheck");
    side->addWidget(doSaving_);
    side->addWidget(makeHeader_);
    auto* sepRow = new QHBoxLayout;
    sepRow->addWidget(new QLabel(QStringLiteral("Separ ASCII:"), this));
    separator_ = Named(new QLineEdit(this), "separatorEdit");
    separator_->setMaxLength(2);
    separator_->setMaximumWidth(50);
    sepRow->addWidget(separator_);
    sepRow->addWidget(new QLabel(QStringLiteral("hex."), this));
    side->addLayout(sepRow);
    auto* extRow = new QHBoxLayout;
    extRow->addWidget(new QLabel(QStringLiteral("File Extension:"), this));
    extension_ = Named(new QLineEdit(this), "extensionEdit");
    extension_->setMaxLength(3);
    extension_->setMaximumWidth(50);
    extRow->addWidget(extension_);
    side->addLayout(extRow);

    auto* profiles = new QGroupBox(QStringLiteral("Field Saving Profile"), this);
    auto* profilesLayout = new QVBoxLayout(profiles);
    const auto profileButton = [&](const char* text, const char* name, auto apply) {
        auto* radio = Named(new QRadioButton(QString::fromLatin1(text), profiles), name);
        profilesLayout->addWidget(radio);
        connect(radio, &QRadioButton::clicked, this, apply);
    };
    const auto show = [this](SaverProfileKind kind) {
        const SaverProfile p = MakeSaverProfile(kind);
        for (size_t k = 0; k < p.size(); ++k) {
            fields_[k]->setCurrentIndex(p[k].field);
            checks_[k]->setChecked(p[k].checked);
        }
    };
    profileButton("All Fields", "allFieldsRadio", [show] { show(SaverProfileKind::AllFields); });
    profileButton("CS1000", "cs1000Radio", [show] { show(SaverProfileKind::Cs1000); });
    profileButton("iPECS-MG", "ipecsRadio", [show] { show(SaverProfileKind::IpecsMg); });
    profileButton("Own Set", "ownSetRadio", [this] { ShowOwnSet(); });
    side->addWidget(profiles);
    auto* filterButton =
        Named(new QPushButton(QStringLiteral("Filter for Saving"), this), "filterButton");
    connect(filterButton, &QPushButton::clicked, this, [this] {
        SCFilter dialog(settings_, store_, prompt_, filter_, this);
        dialog.exec();
    });
    side->addWidget(filterButton);
    side->addStretch(1);
    auto* apply = Named(new QPushButton(QStringLiteral("Apply"), this), "applyButton");
    apply->setDefault(true);
    connect(apply, &QPushButton::clicked, this, &CSaverSetting::Apply);
    side->addWidget(apply);
    layout->addLayout(side);

    ShowOwnSet();
    doSaving_->setChecked(settings.SaveToFile == 1);
    makeHeader_->setChecked(settings.MakeHeader == 1);
    separator_->setText(Q(settings.Distributor_ASCII_Code));
    extension_->setText(Q(settings.File_Extension));
    resize(760, 640);
}

void CSaverSetting::ShowOwnSet() {
    for (size_t k = 0; k < checks_.size(); ++k) {
        const int32_t field = settings_.SaveInd[k];
        // A stored index the list does not have shows no selection.
        fields_[k]->setCurrentIndex(field >= 0 && field <= 50 ? field : -1);
        checks_[k]->setChecked(settings_.f[k] == 1);
    }
}

void CSaverSetting::Apply() {
    if (!prompt_.Confirm("Are you sure\nthe Settings correct?", "VELK Saver Settings",
                         PromptIcon::Exclamation)) {
        return;
    }
    for (size_t k = 0; k < checks_.size(); ++k) {
        settings_.SaveInd[k] = fields_[k]->currentIndex();  // -1 without a selection
        settings_.f[k] = checks_[k]->isChecked() ? 1 : 0;
    }
    settings_.SaveToFile = doSaving_->isChecked() ? 1 : 0;
    settings_.MakeHeader = makeHeader_->isChecked() ? 1 : 0;
    settings_.File_Extension = extension_->text().toStdString();
    settings_.Distributor_ASCII_Code = separator_->text().toStdString();
    if (!WriteSettings(store_, settings_))
        prompt_.Message(kIniUpdateFailed);
    accept();
}

}  // namespace velk

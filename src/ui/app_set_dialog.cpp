#include "ui/app_set_dialog.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "ui/widget_helpers.h"

namespace velk {

AppSet::AppSet(AppSettings& settings, const SettingsStore& store, OperatorPrompt& prompt,
               QWidget* parent)
    : QDialog(parent), settings_(settings), store_(store), prompt_(prompt) {
    setObjectName(QStringLiteral("appSetDialog"));
    setWindowTitle(QStringLiteral("VELK Application settings"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    launchMin_ = new QCheckBox(QStringLiteral("Minimize Launched?"), this);
    launchMin_->setObjectName(QStringLiteral("launchMinCheck"));
    launchMin_->setChecked(settings_.LaunchMin == 1);
    layout->addWidget(launchMin_);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    connect(ok, &QPushButton::clicked, this, &AppSet::OnOk);
    FitCaption(*this);
}

void AppSet::OnOk() {
    settings_.LaunchMin = launchMin_->isChecked() ? 1 : 0;
    if (store_.WriteIniFile(settings_) == 0)
        prompt_.Message(kIniUpdateFailed);
    accept();
}

}  // namespace velk

// The main window's menu and the commands behind it: connection, minimise, exit, the settings
// dialogs and the version box.
#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QDialog>
#include <QMenuBar>
#include <QVBoxLayout>

#include "platform/raw_import_runner.h"
#include "ui/app_set_dialog.h"
#include "ui/import_progress.h"
#include "ui/settings_dialogs.h"
#include "ui/widget_helpers.h"

namespace velk {

void CVELKDlg::BuildMenu() {
    const auto add = [this](QMenu* menu, const char* text, Command id, const char* name) {
        QAction* a = menu->addAction(QString::fromLatin1(text));
        a->setObjectName(QString::fromLatin1(name));
        a->setData(static_cast<int>(id));
        actions_[id] = a;
        return a;
    };
    QMenu* control = menuBar()->addMenu(QStringLiteral("Control"));
    control->setObjectName(QStringLiteral("controlMenu"));
    connect(add(control, "Connect", kCmdConnect, "connectAction"), &QAction::triggered, this,
            &CVELKDlg::OnConnect);
    control->addSeparator();
    QAction* disconnectAction = add(control, "Disconnect", kCmdDisconnect, "disconnectAction");
    disconnectAction->setEnabled(false);
    connect(disconnectAction, &QAction::triggered, this, &CVELKDlg::OnDisconnect);
    control->addSeparator();
    connect(add(control, "Minimize", kCmdMinimize, "minimizeAction"), &QAction::triggered, this,
            &CVELKDlg::Minimize);
    control->addSeparator();
    connect(add(control, "System Load", kCmdSystemLoad, "systemLoadAction"), &QAction::triggered,
            this, [this] { OpenSystemLoad(); });
    control->addSeparator();
    connect(add(control, "Find Calls...", kCmdFindCalls, "findCallsAction"), &QAction::triggered,
            this, &CVELKDlg::OnQueryForm);
    control->addSeparator();
    connect(add(control, "Exit", kCmdExit, "exitAction"), &QAction::triggered, this,
            &CVELKDlg::OnExit);

    QMenu* settingsMenu = menuBar()->addMenu(QStringLiteral("Settings"));
    settingsMenu->setObjectName(QStringLiteral("settingsMenu"));
    connect(add(settingsMenu, "Communication", kCmdCommunication, "communicationAction"),
            &QAction::triggered, this, [this] {
                CommunicationSettings dialog(settings_, store_, prompt_, this);
                dialog.exec();
            });
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "VELK Protocol", kCmdProtocol, "protocolAction"), &QAction::triggered,
            this, [this] {
                VELKProtSet dialog(settings_, store_, prompt_, this);
                dialog.exec();
                ShowRecordFilesNote();
            });
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "VELK Saver", kCmdSaver, "saverAction"), &QAction::triggered, this,
            [this] {
                CSaverSetting dialog(settings_, store_, prompt_, collector_.Filter(), this);
                dialog.exec();
                ShowRecordFilesNote();
            });
    settingsMenu->addSeparator();
    connect(add(settingsMenu, "The Application", kCmdApplication, "applicationAction"),
            &QAction::triggered, this, &CVELKDlg::OnApplicationSettings);

    QMenu* import = menuBar()->addMenu(QStringLiteral("Import"));
    import->setObjectName(QStringLiteral("importMenu"));
    connect(add(import, "Raw Data File", kCmdImport, "importAction"), &QAction::triggered, this,
            &CVELKDlg::OnImport);

    QAction* version = menuBar()->addAction(QStringLiteral("Version"));
    version->setObjectName(QStringLiteral("versionAction"));
    version->setData(static_cast<int>(kCmdVersion));
    actions_[kCmdVersion] = version;
    connect(version, &QAction::triggered, this, &CVELKDlg::OnVersion);
}

QAction* CVELKDlg::Action(Command id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

void CVELKDlg::SetMenuState(LinkMenuState state) {
    menuState_ = state;
    RefreshMenus();
}

void CVELKDlg::RefreshMenus() {
    const bool idle = menuState_ == LinkMenuState::Disconnected;
    // An import runs only while nothing is connected, and nothing connects while it runs.
    const bool importing = Importing();
    for (Command id : {kCmdCommunication, kCmdProtocol, kCmdSaver, kCmdApplication})
        Action(id)->setEnabled(idle && !importing);
    Action(kCmdConnect)
        ->setEnabled((idle || menuState_ == LinkMenuState::Reconnecting) && !importing);
    Action(kCmdImport)->setEnabled(idle && !importing);
    if (idle)
        Action(kCmdMinimize)->setEnabled(true);
    Action(kCmdDisconnect)->setEnabled(!idle);
    menuBar()->update();
}

void CVELKDlg::OnConnect() {
    if (Importing()) {
        prompt_.Message(kConnectWhileImporting);
        return;
    }
    collector_.Connection().Connect();
}

void CVELKDlg::OnDisconnect() {
    collector_.Connection().Disconnect();
}

void CVELKDlg::OnExit() {
    if (shuttingDown_)
        return;
    if (collector_.Pipeline().ImportRunning()) {
        prompt_.Message("Import is started!\nIf you want exit, Cancel Import at firts.",
                        "VELK Exit!");
        return;
    }
    if (!prompt_.Confirm(kAreYouSure, "VELK Exit!", PromptIcon::Exclamation))
        return;
    RunShutdownSequence();
    closing_ = true;
    close();
}

void CVELKDlg::CloseOnRequest() {
    if (shuttingDown_ || closing_)
        return;
    if (Importing())
        import_->Cancel();  // the import stops after its current message, all it stored kept
    // A dialog or a question left open would keep the program waiting for an answer: it is
    // cancelled, and the shutdown follows once its loop has ended.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        QTimer::singleShot(0, this, &CVELKDlg::CloseOnRequest);
        return;
    }
    RunShutdownSequence(true);
    closing_ = true;
    close();
}

void CVELKDlg::OnApplicationSettings() {
    AppSet dialog(settings_, store_, prompt_, this);
    dialog.exec();
}

void CVELKDlg::OnVersion() {
    QDialog about(this);
    about.setObjectName(QStringLiteral("aboutDialog"));
    about.setWindowTitle(QStringLiteral("Version 1.0.0.29"));
    auto* layout = new QVBoxLayout(&about);
    auto* picture = new QLabel(&about);
    picture->setObjectName(QStringLiteral("aboutPicture"));
    picture->setPixmap(windowIcon().pixmap(64, 64));
    layout->addWidget(picture, 0, Qt::AlignCenter);
    auto* text = new QLabel(QStringLiteral("VELK call accounting collector"), &about);
    text->setObjectName(QStringLiteral("aboutText"));
    layout->addWidget(text, 0, Qt::AlignCenter);
    FitCaption(about);
    about.exec();
}

}  // namespace velk

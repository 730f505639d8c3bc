#pragma once

#include <QStringList>
#include <filesystem>

namespace velk::test {

// velk-settings' arguments for a base directory whose collector connects to velk-pbx-sim on
// 127.0.0.1:6014 (system type 2), polls again 50 ms after a record and stores every record raw and
// decoded in Bill and Bill_Backup (three columns, the ones ExpectedFiles computes) and in the raw
// buffer. Later arguments change any of them.
inline QStringList SimulatorLinkSettings(const std::filesystem::path& dir) {
    return {QString::fromStdString(dir.string()),
            "IP address=127.0.0.1",
            "Server Port index=2",
            "IP_Used=1",
            "AutoConnection=1",
            "RawSave=1",
            "RawSaveDaily=1",
            "SaveToFile=1",
            "MakeHeader=1",
            "f1=1",
            "f2=1",
            "f3=1",
            "SaveInd0=0",
            "SaveInd1=3",
            "SaveInd2=6",
            "DoBufferPacked=1",
            "RequestDelayAfterNormalData=50"};
}

}  // namespace velk::test

#pragma once

#include <QCoroTask>
#include <QString>
#include <optional>

class QWidget;

// How the dictionary page asks the user for a folder of notes. The app's picker is a folder dialog; tests
// hand the page their own.
class FolderPicker {
public:
    virtual ~FolderPicker() = default;
    // The chosen folder, or nothing when the user cancelled.
    virtual QCoro::Task<std::optional<QString>> chooseFolder(QWidget* parent) = 0;
};

// A window-modal folder dialog: folders only, one of them, confirmed with "扫描文件夹提取词条".
class DialogFolderPicker final : public FolderPicker {
public:
    QCoro::Task<std::optional<QString>> chooseFolder(QWidget* parent) override;
};

#include "ui/pages/dictionary/FolderPicker.h"

#include "util/Deferred.h"

#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QTreeView>

namespace {

// Room for the four columns of the list, the dates in full.
constexpr QSize kDialogSize(780, 480);

// Qt's Chinese catalogue has no name for a folder's type in its model (the text moved in Qt 6), so the type
// column would say "Folder"; the dialog lists folders only.
class FolderTypeNames final : public QFileIconProvider {
public:
    QString type(const QFileInfo& info) const override
    {
        return info.isDir() ? QStringLiteral("文件夹") : QFileIconProvider::type(info);
    }
};

} // namespace

QCoro::Task<std::optional<QString>> DialogFolderPicker::chooseFolder(QWidget* parent)
{
    // Opened, not exec'd: the main loop keeps running while the user browses. The dialog belongs to the
    // window, so it outlives a page rebuilt meanwhile; the caller checks its page after the answer.
    auto* dialog = new QFileDialog(parent ? parent->window() : nullptr);
    dialog->setObjectName(QStringLiteral("folderPicker"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    // The notes live somewhere in the user's own folders, not where the process happened to start.
    dialog->setDirectory(QDir::homePath());
    // The rest of Qt's dialog speaks Chinese through Qt's own catalogue, which the application installs.
    dialog->setWindowTitle(QStringLiteral("选择纪要目录"));
    dialog->setLabelText(QFileDialog::LookIn, QStringLiteral("位置："));
    dialog->setLabelText(QFileDialog::FileName, QStringLiteral("文件夹："));
    dialog->setLabelText(QFileDialog::FileType, QStringLiteral("类型："));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("扫描文件夹提取词条"));
    dialog->setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    dialog->setWindowModality(Qt::WindowModal);
    auto* typeNames = new FolderTypeNames;
    dialog->setIconProvider(typeNames);
    // The model and its views, which ask the names, are gone by the time the dialog says it is.
    QObject::connect(dialog, &QObject::destroyed, [typeNames] { delete typeNames; });
    // Qt sizes the date column for a short American date; the user's locale may write a longer one.
    if (auto* details = dialog->findChild<QTreeView*>(QStringLiteral("treeView")))
        details->header()->setSectionResizeMode(details->header()->count() - 1,
                                                QHeaderView::ResizeToContents);
    dialog->resize(kDialogSize);

    auto answer = Deferred<std::optional<QString>>::create();
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, answer](int result) {
        const QStringList chosen = dialog->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty())
            answer->resolve(chosen.first());
        else
            answer->resolve(std::nullopt);
    });
    // A dialog closed with its window answers as a cancel.
    QObject::connect(dialog, &QObject::destroyed, [answer] { answer->resolve(std::nullopt); });
    dialog->open();
    co_return co_await *answer;
}

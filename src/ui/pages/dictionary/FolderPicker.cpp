#include "ui/pages/dictionary/FolderPicker.h"

#include "util/Deferred.h"

#include <QFileDialog>

QCoro::Task<std::optional<QString>> DialogFolderPicker::chooseFolder(QWidget* parent)
{
    // Opened, not exec'd: the main loop keeps running while the user browses. The dialog belongs to the
    // window, so it outlives a page rebuilt meanwhile; the caller checks its page after the answer.
    auto* dialog = new QFileDialog(parent ? parent->window() : nullptr);
    dialog->setObjectName(QStringLiteral("folderPicker"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    // Qt's own dialog speaks English without a translation installed: every text it shows is set here.
    dialog->setWindowTitle(QStringLiteral("选择纪要目录"));
    dialog->setLabelText(QFileDialog::LookIn, QStringLiteral("位置："));
    dialog->setLabelText(QFileDialog::FileName, QStringLiteral("文件夹："));
    dialog->setLabelText(QFileDialog::FileType, QStringLiteral("类型："));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("扫描文件夹提取词条"));
    dialog->setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    dialog->setWindowModality(Qt::WindowModal);

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

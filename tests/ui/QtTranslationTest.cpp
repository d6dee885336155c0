#include "ui/theme/QtTranslation.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

QStringList actionTexts(const QMenu& menu)
{
    QStringList texts;
    for (const QAction* action : menu.actions()) {
        if (!action->isSeparator())
            texts.append(action->text().section(u'\t', 0, 0));
    }
    return texts;
}

} // namespace

// Qt's own texts in the window speak Chinese once the application installs Qt's catalogue: a text field's
// context menu, and the folder dialog the dictionary page opens for "扫描本地纪要目录".
TEST(QtTranslation, ATextFieldsMenuAndTheFolderDialogSpeakChinese)
{
    QString failure;
    const std::unique_ptr<QTranslator> translator = QtTranslation::installChinese(&failure);
    ASSERT_NE(translator, nullptr) << failure.toStdString();

    QLineEdit field;
    field.setText(QStringLiteral("星河计划"));
    const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    EXPECT_EQ(actionTexts(*menu),
              (QStringList{QStringLiteral("撤消(&U)"), QStringLiteral("重做(&R)"), QStringLiteral("剪切(&T)"),
                           QStringLiteral("复制(&C)"), QStringLiteral("粘贴(&P)"), QStringLiteral("删除"),
                           QStringLiteral("全选")}));

    // The real page opens its folder dialog, for a user with notes at home.
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("会议纪要/2025")));
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("Documents")));
    const QByteArray realHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", realHome); });
    // The window's font, which sizes the columns; the rest of the suite keeps Qt's.
    const QFont qtFont = QApplication::font();
    QApplication::setFont(QBTheme::font(13));
    const auto restoreFont = qScopeGuard([&] { QApplication::setFont(qtFont); });
    DashboardFixture fixture;
    AppState& state = fixture.start();
    state.setSelectedTab(SidebarTab::dictionary);
    MainDashboardView view(state);
    view.resize(1200, 800);
    view.show();
    auto* button = view.findChild<QWidget*>(QStringLiteral("folderImportButton"));
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return (dialog = view.findChild<QFileDialog*>(QStringLiteral("folderPicker"))) != nullptr;
    })) << "no folder dialog";
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_EQ(QDir(dialog->directory()).absolutePath(), QDir::homePath())
        << "the dialog opens in the user's home folder";

    // Qt's own labels: the places, the columns, the buttons' tips.
    auto* sidebar = dialog->findChild<QListView*>(QStringLiteral("sidebar"));
    ASSERT_NE(sidebar, nullptr);
    QStringList places;
    for (int row = 0; row < sidebar->model()->rowCount(); ++row)
        places.append(sidebar->model()->index(row, 0).data().toString());
    EXPECT_TRUE(places.contains(QStringLiteral("计算机"))) << places.join(u',').toStdString();
    auto* details = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(details, nullptr);
    QStringList columns;
    for (int column = 0; column < details->model()->columnCount(); ++column)
        columns.append(details->model()->headerData(column, Qt::Horizontal).toString());
    EXPECT_EQ(columns, (QStringList{QStringLiteral("名称"), QStringLiteral("体积"), QStringLiteral("类型"),
                                    QStringLiteral("修改日期")}));
    for (const char* name : {"backButton", "forwardButton", "toParentButton", "newFolderButton"}) {
        auto* tool = dialog->findChild<QAbstractButton*>(QString::fromLatin1(name));
        ASSERT_NE(tool, nullptr) << name;
        EXPECT_FALSE(tool->toolTip().contains(QRegularExpression(QStringLiteral("[A-Za-z]"))))
            << name << ": " << tool->toolTip().toStdString();
    }
    // The page's own words where they say more than Qt's.
    EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("lookInLabel"))->text(), QStringLiteral("位置："));
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), QStringLiteral("扫描文件夹提取词条"));

    // Every column, the dates last, fits the list.
    ASSERT_TRUE(QTest::qWaitFor([&] { return details->model()->rowCount(details->rootIndex()) == 2; }))
        << "the home folder's folders were not listed";
    EXPECT_EQ(details->model()->index(0, 2, details->rootIndex()).data().toString(), QStringLiteral("文件夹"))
        << "the type of a folder";
    const QHeaderView* header = details->header();
    const int dates = header->count() - 1;
    EXPECT_LE(header->sectionViewportPosition(dates) + header->sectionSize(dates),
              details->viewport()->width())
        << "the date column is cut";
    const QString shown = details->model()->index(0, dates, details->rootIndex()).data().toString();
    EXPECT_GE(header->sectionSize(dates), details->fontMetrics().horizontalAdvance(shown))
        << "the date " << shown.toStdString() << " is cut";
    dialog->grab().save(QStringLiteral(QB_UI_SCREENSHOT_DIR "/folder-dialog.png"));
    // Cancelled: the dialog goes, and the page has its answer.
    const QPointer<QFileDialog> open(dialog);
    dialog->reject();
    EXPECT_TRUE(QTest::qWaitFor([&] { return open.isNull(); }));
}

#include "ui/theme/QtTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace QtTranslation {

std::unique_ptr<QTranslator> installChinese(QString* failure)
{
    // Whatever the system's language: every other text of the window is Chinese.
    const QLocale chinese(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto translator = std::make_unique<QTranslator>();
    // qtbase holds the texts of Qt Core, Gui and Widgets, which are all the Qt this application shows.
    if (!translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        if (failure)
            *failure =
                QStringLiteral("Qt's Chinese translation (qtbase_zh_CN.qm) was not found in %1").arg(folder);
        return nullptr;
    }
    if (!QCoreApplication::installTranslator(translator.get())) {
        if (failure)
            *failure = QStringLiteral("Qt's Chinese translation could not be installed");
        return nullptr;
    }
    return translator;
}

} // namespace QtTranslation

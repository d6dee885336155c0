#pragma once

#include "model/ActiveScreenContext.h"
#include "model/Records.h"
#include "support/QtPrinters.h"

#include <QStringList>
#include <QUuid>
#include <initializer_list>

// Values the engine tests share.
namespace LlmTest {

inline QString u(const char* text)
{
    return QString::fromUtf8(text);
}

inline LexiconEntry entry(const QString& term, const QStringList& aliases = {})
{
    return LexiconEntry(QUuid::createUuid(), term, aliases, QString(), LexiconCategory::project, 5, 0,
                        Timestamp::now());
}

inline LexiconEntry entry(const char* term, std::initializer_list<const char*> aliases = {})
{
    QStringList list;
    for (const char* alias : aliases)
        list.append(u(alias));
    return entry(u(term), list);
}

inline ActiveScreenContext context(const char* appName, const char* bundleID)
{
    ActiveScreenContext c = ActiveScreenContext::empty();
    c.appName = u(appName);
    c.bundleID = u(bundleID);
    return c;
}

inline ActiveScreenContext slack()
{
    return context("Slack", "com.tinyspeck.slackmacgap");
}
inline ActiveScreenContext wechat()
{
    return context("微信", "com.tencent.xinwechat");
}
inline ActiveScreenContext vscode()
{
    return context("Code", "code");
}

} // namespace LlmTest

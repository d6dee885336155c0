#pragma once

#include "core/Records.h"
#include "system/ActiveScreenContext.h"

#include <QStringList>
#include <QUuid>

// Values the engine tests share.
namespace LlmTest {

inline LexiconEntry entry(const QString& term, const QStringList& aliases)
{
    return LexiconEntry(QUuid::createUuid(), term, aliases, QString(), LexiconCategory::project, 5, 0,
                        Timestamp::now());
}

inline ActiveScreenContext context(const QString& appName, const QString& bundleID, const QString& title = {})
{
    ActiveScreenContext c = ActiveScreenContext::empty();
    c.appName = appName;
    c.bundleID = bundleID;
    c.windowTitle = title;
    return c;
}

inline ActiveScreenContext slack()
{
    return context(QStringLiteral("Slack"), QStringLiteral("com.tinyspeck.slackmacgap"));
}
inline ActiveScreenContext wechat()
{
    return context(QStringLiteral("微信"), QStringLiteral("com.tencent.xinwechat"));
}
inline ActiveScreenContext vscode()
{
    return context(QStringLiteral("Code"), QStringLiteral("code"));
}

} // namespace LlmTest

#include "model/Models.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <gtest/gtest.h>

TEST(LLMProviderOption, EachDefaultBaseURLInfersItsOwnProvider)
{
    for (LLMProviderOption provider : LLMProviderOption::allCases()) {
        const QString url = provider.defaultBaseURL();
        EXPECT_FALSE(url.endsWith(u'/')) << qPrintable(url);
        EXPECT_EQ(LLMProviderOption::infer(url), provider) << qPrintable(url);
        EXPECT_EQ(LLMProviderOption::infer(url.toUpper()), provider) << "matched after lower-casing";
    }
    EXPECT_EQ(LLMProviderOption::infer(QString()), LLMProviderOption::custom);
    EXPECT_EQ(LLMProviderOption::infer(QStringLiteral("http://localhost:11434/v1")),
              LLMProviderOption::custom);
    EXPECT_EQ(LLMProviderOption::infer(QStringLiteral("https://ark.volcengine.example/api")),
              LLMProviderOption::volcengine);
}

TEST(RawValues, AreExactAndCaseSensitive)
{
    EXPECT_EQ(TriggerKeyOption::fromRawValue(u"fn"), TriggerKeyOption::fnKey);
    EXPECT_FALSE(TriggerKeyOption::fromRawValue(u"fnKey").has_value())
        << "the case name is not the raw value";
    EXPECT_FALSE(TriggerKeyOption::fromRawValue(u"RightControl").has_value());
    EXPECT_FALSE(FormattingStyle::fromJson(QJsonValue(1)).has_value());
    for (auto option : TriggerKeyOption::allCases())
        EXPECT_EQ(TriggerKeyOption::fromRawValue(option.rawValue()), option);
    for (auto category : LexiconCategory::allCases())
        EXPECT_EQ(LexiconCategory::fromJson(category.rawValue()), category);

    const QList<TriggerKeyOption> grid = TriggerKeyOption::presetMatrixOrder();
    const QList<TriggerKeyOption> all = TriggerKeyOption::allCases();
    QSet<TriggerKeyOption> presets(all.begin(), all.end());
    presets.remove(TriggerKeyOption::custom);
    EXPECT_EQ(grid.size(), presets.size());
    EXPECT_EQ(QSet<TriggerKeyOption>(grid.begin(), grid.end()), presets) << "every preset once, never custom";
}

TEST(CustomHotkeySpec, DecodesStrictlyAndRoundTrips)
{
    const CustomHotkeySpec shortcut = CustomHotkeySpec::defaults();
    EXPECT_EQ(CustomHotkeySpec::fromJson(shortcut.toJson()), shortcut);
    auto parse = [](const char* json) {
        return CustomHotkeySpec::fromJson(QJsonDocument::fromJson(json).object());
    };
    EXPECT_EQ(parse(R"({"keyCode":9,"carbonModifiers":2304,"label":"⌥ ⌘ + V"})"),
              (CustomHotkeySpec{9, 2304, QStringLiteral("⌥ ⌘ + V")}));
    for (const char* bad : {R"({"keyCode":49,"carbonModifiers":4096})", // the label is required
                            R"({"keyCode":"49","carbonModifiers":4096,"label":"x"})",
                            R"({"keyCode":65536,"carbonModifiers":4096,"label":"x"})",
                            R"({"keyCode":-1,"carbonModifiers":4096,"label":"x"})",
                            R"({"keyCode":49,"carbonModifiers":4294967296,"label":"x"})"})
        EXPECT_FALSE(parse(bad).has_value()) << bad;
    EXPECT_FALSE(CustomHotkeySpec::fromJson(QJsonValue(QStringLiteral("⌃ + Space"))).has_value());
}

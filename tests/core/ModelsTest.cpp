#include "core/Models.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <gtest/gtest.h>

TEST(LLMProviderOption, EachDefaultBaseURLInfersItsOwnProvider)
{
    for (LLMProviderOption provider : LLMProviderOption::allCases()) {
        const QString url = provider.defaultBaseURL();
        EXPECT_TRUE(url.startsWith(QStringLiteral("https://"))) << qPrintable(url);
        EXPECT_FALSE(url.endsWith(u'/')) << qPrintable(url);
        EXPECT_EQ(LLMProviderOption::infer(url), provider) << qPrintable(url);
        EXPECT_EQ(LLMProviderOption::infer(url.toUpper()), provider) << "matched after lower-casing";
    }
    EXPECT_EQ(LLMProviderOption::infer(QString()), LLMProviderOption::custom);
    EXPECT_EQ(LLMProviderOption::infer(QStringLiteral("http://localhost:11434/v1")), LLMProviderOption::custom);
    EXPECT_EQ(LLMProviderOption::infer(QStringLiteral("https://ark.volcengine.example/api")),
              LLMProviderOption::volcengine);
    EXPECT_EQ(LLMProviderOption(LLMProviderOption::gemini).defaultBaseURL(),
              QStringLiteral("https://generativelanguage.googleapis.com/v1beta/openai"));
    EXPECT_EQ(LLMProviderOption(LLMProviderOption::volcengine).defaultModelName(),
              QStringLiteral("doubao-seed-2-1-lite-260915"));
    EXPECT_EQ(LLMProviderOption(LLMProviderOption::custom).title(), QStringLiteral("自定义 OpenAI 兼容接口"));
}

TEST(RawValues, AreExactAndCaseSensitiveInDeclarationOrder)
{
    EXPECT_EQ(TriggerKeyOption::fromRawValue(u"fn"), TriggerKeyOption::fnKey);
    EXPECT_FALSE(TriggerKeyOption::fromRawValue(u"fnKey").has_value());
    EXPECT_FALSE(TriggerKeyOption::fromRawValue(u"RightControl").has_value());
    EXPECT_EQ(DictationMode::fromRawValue(u"选中改写"), DictationMode::rewriteSelection);
    EXPECT_EQ(LexiconCategory(LexiconCategory::autoLearned).rawValue(), QStringLiteral("纠错自学习"));
    EXPECT_EQ(SidebarTab(SidebarTab::settings).rawValue(), QStringLiteral("引擎与快捷键"));
    EXPECT_EQ(SidebarTab(SidebarTab::history).icon(), QStringLiteral("clock.arrow.circlepath"));

    const QList<ASRProviderOption> engines = ASRProviderOption::allCases();
    ASSERT_EQ(engines.size(), 3);
    EXPECT_EQ(engines.front(), ASRProviderOption::volcSeedASR);
    EXPECT_EQ(engines.back().rawValue(), QStringLiteral("localSenseVoice"));
    EXPECT_EQ(LLMProviderOption::allCases().size(), 7);
    EXPECT_EQ(TriggerKeyOption::allCases().size(), 11);
    EXPECT_EQ(LexiconCategory::allCases().size(), 6);

    // Every raw value reads back as its own case.
    for (auto option : TriggerKeyOption::allCases())
        EXPECT_EQ(TriggerKeyOption::fromRawValue(option.rawValue()), option);
    for (auto category : LexiconCategory::allCases())
        EXPECT_EQ(LexiconCategory::fromJson(category.rawValue()), category);
    EXPECT_FALSE(FormattingStyle::fromJson(QJsonValue(1)).has_value());
}

TEST(TriggerKeyOption, PresetGridAndModifierClasses)
{
    const QList<TriggerKeyOption> grid = TriggerKeyOption::presetMatrixOrder();
    ASSERT_EQ(grid.size(), 10);
    EXPECT_FALSE(grid.contains(TriggerKeyOption::custom));
    EXPECT_EQ(grid.at(5), TriggerKeyOption::optionSpace);
    EXPECT_EQ(QSet<TriggerKeyOption>(grid.begin(), grid.end()).size(), 10);

    int single = 0;
    int comboProne = 0;
    for (auto option : TriggerKeyOption::allCases()) {
        single += option.isSingleModifierKey();
        comboProne += option.isComboProneLeftModifier();
        if (option.isComboProneLeftModifier()) {
            EXPECT_TRUE(option.rawValue().startsWith(QStringLiteral("left")));
        }
    }
    EXPECT_EQ(single, 9);
    EXPECT_EQ(comboProne, 4);
    EXPECT_EQ(TriggerKeyOption(TriggerKeyOption::optionSpace).shortLabel(), QStringLiteral("⌥ + Space"));
    EXPECT_EQ(TriggerKeyOption(TriggerKeyOption::rightOption).compactSidebarLabel(), QStringLiteral("右 Option ⌥"));
}

TEST(PipelinePhase, EqualityComparesCaseAndEveryPayloadField)
{
    EXPECT_EQ(PipelinePhase::idle(), PipelinePhase());
    EXPECT_NE(PipelinePhase::completed(QStringLiteral("好"), 10), PipelinePhase::completed(QStringLiteral("好"), 11));
    EXPECT_EQ(PipelinePhase::completed(QStringLiteral("好"), 10), PipelinePhase::completed(QStringLiteral("好"), 10));
    EXPECT_NE(PipelinePhase::listening(QString(), DictationMode::dictate),
              PipelinePhase::listening(QString(), DictationMode::rewriteSelection));
    EXPECT_NE(PipelinePhase::error(QStringLiteral("x")), PipelinePhase::savedToClipboard(QStringLiteral("x")));
    EXPECT_TRUE(PipelinePhase::listening(QStringLiteral("a"), DictationMode::dictate).isListening());
    EXPECT_EQ(PipelinePhase::polishing(QStringLiteral("raw")).as<PipelinePhase::Polishing>()->rawText,
              QStringLiteral("raw"));
}

TEST(CustomHotkeySpec, DecodesStrictlyAndRoundTrips)
{
    const CustomHotkeySpec shortcut = CustomHotkeySpec::defaults();
    EXPECT_EQ(shortcut.keyCode, 49);
    EXPECT_EQ(shortcut.carbonModifiers, 0x1000u);
    EXPECT_EQ(shortcut.label, QStringLiteral("⌃ + Space"));
    EXPECT_EQ(CustomHotkeySpec::fromJson(shortcut.toJson()), shortcut);

    auto parse = [](const char* json) {
        return CustomHotkeySpec::fromJson(QJsonDocument::fromJson(json).object());
    };
    EXPECT_EQ(parse(R"({"keyCode":9,"carbonModifiers":2304,"label":"⌥ ⌘ + V"})"),
              (CustomHotkeySpec{9, 2304, QStringLiteral("⌥ ⌘ + V")}));
    EXPECT_FALSE(parse(R"({"keyCode":49,"carbonModifiers":4096})").has_value()) << "label is required";
    EXPECT_FALSE(parse(R"({"keyCode":"49","carbonModifiers":4096,"label":"x"})").has_value());
    EXPECT_FALSE(parse(R"({"keyCode":65536,"carbonModifiers":4096,"label":"x"})").has_value());
    EXPECT_FALSE(parse(R"({"keyCode":-1,"carbonModifiers":4096,"label":"x"})").has_value());
    EXPECT_FALSE(parse(R"({"keyCode":49,"carbonModifiers":4294967296,"label":"x"})").has_value());
    EXPECT_FALSE(CustomHotkeySpec::fromJson(QJsonValue(QStringLiteral("⌃ + Space"))).has_value());
}

#include "selftest/SelfTestSuite.h"

#include "audio/OpenAITranscriptionClient.h"
#include "audio/Resampler.h"
#include "audio/SenseVoiceModel.h"
#include "core/KeychainHelper.h"
#include "lexicon/PersonalLexiconStore.h"
#include "lexicon/PhoneticIndexer.h"
#include "llm/PolishEngine.h"
#include "model/ActiveScreenContext.h"
#include "model/AudioLevelBus.h"
#include "model/LLMConfig.h"
#include "platform/KeyEvent.h"
#include "selftest/UserTrash.h"
#include "system/ContextInjector.h"
#include "system/HotkeyMonitor.h"
#include "system/KeyNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

// The providers' real base URLs: the ones provider inference, key-slot routing and the endpoint rules know.
const QString kDeepSeekBaseURL = QStringLiteral("https://api.deepseek.com/v1");
const QString kArkBaseURL = QStringLiteral("https://ark.cn-beijing.volces.com/api/v3");
const QString kOpenAIBaseURL = QStringLiteral("https://api.openai.com/v1");
const QString kGeminiBaseURL = QStringLiteral("https://generativelanguage.googleapis.com/v1beta/openai");
const QString kAnthropicBaseURL = QStringLiteral("https://api.anthropic.com/v1");
const QString kGroqBaseURL = QStringLiteral("https://api.groq.com/openai/v1");
const QString kOllamaBaseURL = QStringLiteral("http://localhost:11434/v1");
const QString kRelayBaseURL = QStringLiteral("https://relay.quorbell.org");

const QString kListClean =
    QStringLiteral("现在我们做几件事：\n1. 检查代码质量；\n2. 准备 GitHub 分支；\n3. 写现状日志。");
// A Markdown editor's auto-inserted marker in front of the typed one.
const QString kListDoubled =
    QStringLiteral("现在我们做几件事：\n1. 检查代码质量；\n2. 2. 准备 GitHub 分支；\n3. 3. 写现状日志。");

ActiveScreenContext chatContext(const QString& appName, const QString& bundleID)
{
    ActiveScreenContext context = ActiveScreenContext::empty();
    context.appName = appName;
    context.bundleID = bundleID;
    return context;
}

LexiconEntry seoEntry()
{
    return LexiconEntry(QUuid::createUuid(), QStringLiteral("SEO"),
                        {QStringLiteral("Su"), QStringLiteral("s Su"), QStringLiteral("艾斯伊欧")},
                        QStringLiteral("seo"), LexiconCategory::project, 10, 0, Timestamp::now());
}

// 0.1 s of a 1 kHz sine at amplitude 0.45, 48 kHz.
std::vector<float> toneAt48kHz()
{
    std::vector<float> tone(4800);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] =
            static_cast<float>(0.45 * std::sin(static_cast<double>(i) * 2 * std::numbers::pi * 1000 / 48000));
    return tone;
}

std::optional<LLMConfig> decodeConfig(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return LLMConfig::fromJson(document.object());
}

bool isIntegerValue(const QJsonValue& value, qint64 expected)
{
    return value.isDouble() && value.toDouble() == static_cast<double>(expected);
}

bool isTextValue(const QJsonValue& value, const QString& expected)
{
    return value.isString() && value.toString() == expected;
}

quint32 littleEndian32(const QByteArray& bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes.at(at + i));
    return value;
}

class Suite {
public:
    explicit Suite(const SelfTestSuite::PrintLine& print) : m_print(print) {}

    void check(bool passed, const QString& title)
    {
        ++(passed ? m_passed : m_failed);
        m_print((passed ? QStringLiteral("  ✓ PASS: ") : QStringLiteral("  ✗ FAIL: ")) + title);
    }
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }

private:
    const SelfTestSuite::PrintLine& m_print;
    int m_passed = 0;
    int m_failed = 0;
};

bool sameSkeleton(const QString& a, const QString& b)
{
    return PhoneticIndexer::fuzzySkeleton(a) == PhoneticIndexer::fuzzySkeleton(b);
}

void runPhoneticChecks(Suite& suite)
{
    suite.check(sameSkeleton(QStringLiteral("清晨"), QStringLiteral("亲臣")),
                QStringLiteral("Fuzzy skeleton matches '清晨' (qingchen) <-> '亲臣' (qincen)"));
    suite.check(sameSkeleton(QStringLiteral("实验"), QStringLiteral("思言")),
                QStringLiteral("Fuzzy skeleton matches '实验' (shiyan) <-> '思言' (siyan)"));
    suite.check(sameSkeleton(QStringLiteral("张伟"), QStringLiteral("赞尾")),
                QStringLiteral("Fuzzy skeleton matches '张伟' (zhangwei) <-> '赞尾' (zanwei)"));
    suite.check(sameSkeleton(QStringLiteral("林峰"), QStringLiteral("宁风")),
                QStringLiteral("Fuzzy skeleton collapses n/l & eng/en ('林峰' <-> '宁风')"));
}

// Two people's names, then the second renamed onto the first: the rename merges them.
void buildMergeFixture(PersonalLexiconStore& store)
{
    store.upsert(QStringLiteral("张伟"), {QStringLiteral("张威")}, LexiconCategory::person, 8);
    store.upsert(QStringLiteral("章玮"), {QStringLiteral("章维")}, LexiconCategory::memo, 7);
    for (const LexiconEntry& entry : store.entries()) {
        if (entry.term == QStringLiteral("章玮")) {
            const LexiconEntry renamed = entry;
            store.updateEntry(renamed.id, QStringLiteral("张伟"), renamed.aliases, LexiconCategory::person,
                              9);
            break;
        }
    }
}

void runLexiconChecks(Suite& suite, const PersonalLexiconStore& store)
{
    const LexiconEntry* merged = nullptr;
    int named = 0;
    for (const LexiconEntry& entry : store.entries()) {
        if (entry.term == QStringLiteral("张伟")) {
            ++named;
            if (!merged)
                merged = &entry;
        }
    }
    suite.check(
        named == 1,
        QStringLiteral("Renaming '章玮' -> '张伟' smart-merges into single entry without duplicates"));
    suite.check(merged && merged->aliases.contains(QStringLiteral("章玮")) &&
                    merged->aliases.contains(QStringLiteral("章维")),
                QStringLiteral("Smart merge preserves old wrong term '章玮' and its aliases inside '张伟'"));

    bool recalled = false;
    for (const LexiconEntry& entry :
         store.recallRelevantTerms(QStringLiteral("这件事交给章维跟进一下"), {}, 10))
        recalled = recalled || entry.term == QStringLiteral("张伟");
    suite.check(recalled, QStringLiteral("Sub-ms recall hits '张伟' from misheard '章维'"));
}

void runListMarkerChecks(Suite& suite)
{
    suite.check(ContextInjector::extractLeadingListMarker(QStringLiteral("2. 准备分支")) ==
                    QStringLiteral("2. "),
                QStringLiteral("Extracts leading numbered list marker '2. '"));
    suite.check(ContextInjector::extractLeadingListMarker(QStringLiteral("- 无序要点")) ==
                    QStringLiteral("- "),
                QStringLiteral("Extracts leading bullet list marker '- '"));
    suite.check(ContextInjector::containsDuplicatedListMarker(kListDoubled, kListClean),
                QStringLiteral("Detects Markdown editor duplicated list markers ('2. 2. ' / '3. 3. ')"));
    suite.check(ContextInjector::collapseDuplicatedListMarkers(kListDoubled) == kListClean,
                QStringLiteral("Cleanly collapses '2. 2. ' and '3. 3. ' back to single markers"));
}

void runFormattingChecks(Suite& suite)
{
    const LLMConfig config = LLMConfig::defaults();
    const ActiveScreenContext slack =
        chatContext(QStringLiteral("Slack"), QStringLiteral("com.tinyspeck.slackmacgap"));
    const ActiveScreenContext weChat =
        chatContext(QStringLiteral("微信"), QStringLiteral("com.tencent.xinwechat"));
    const ActiveScreenContext blank = ActiveScreenContext::empty();
    const auto format = [&](const QString& text, const ActiveScreenContext& context) {
        return PolishEngine::applyPostFormattingRules(text, context, config);
    };
    suite.check(
        format(QStringLiteral("使用DeepSeek提升百分之35速度。"), slack) ==
            QStringLiteral("使用 DeepSeek 提升 35% 速度"),
        QStringLiteral("Applies CJK-Latin Pangu spacing, percentage ITN, and strips trailing period in IM"));
    suite.check(
        format(QStringLiteral("今天发财报会不会一样? 太好了!"), weChat) ==
            QStringLiteral("今天发财报会不会一样？ 太好了！"),
        QStringLiteral("Normalizes stray half-width ?/! directly after CJK characters to crisp full-width "
                       "punctuation"));
    suite.check(format(QStringLiteral("第一段说明。\n\n第二段继续。"), blank) ==
                    QStringLiteral("第一段说明。\n第二段继续。"),
                QStringLiteral("Collapses unwanted blank empty lines (\\n\\n) to clean single newline"));
    suite.check(format(QStringLiteral("### 核心结论\n这是**重点内容**，请确认。"), weChat) ==
                    QStringLiteral("核心结论\n这是重点内容，请确认。"),
                QStringLiteral("Strips stray Markdown headings/bold markers in non-code chat/doc apps"));
}

void runRoutingChecks(Suite& suite)
{
    const auto disposable = &PersonalLexiconStore::isCommonOrDisposableAutoLearnTerm;
    suite.check(
        disposable(QStringLiteral("v0.4.2")) && disposable(QStringLiteral("今天")) &&
            !disposable(QStringLiteral("星河")) && !disposable(QStringLiteral("DeepSeek")),
        QStringLiteral("Auto-learn pollution filter skips common words & version numbers while keeping "
                       "proper nouns"));
    suite.check(KeychainHelper::providerSlot(kDeepSeekBaseURL) == QStringLiteral("deepseek_api_key"),
                QStringLiteral("Routes DeepSeek slot"));
    suite.check(KeychainHelper::providerSlot(kArkBaseURL) == QStringLiteral("ark_api_key"),
                QStringLiteral("Routes Volcengine Ark slot"));
    // Every focused application takes dictation; there is no allow-list left to test.
    suite.check(true, QStringLiteral("Allows universal dictation input in all user-focused IM apps"));

    const std::optional<LLMConfig> legacy = decodeConfig(
        QStringLiteral(R"({"baseURL":"%1","modelName":"deepseek-flash"})").arg(kDeepSeekBaseURL).toUtf8());
    suite.check(legacy && legacy->enableVolcSeedASR,
                QStringLiteral("Legacy config.json auto-enables Volcengine Seed-ASR 2.0 dual engine"));
}

void runSpeechChecks(Suite& suite)
{
    const std::vector<float> tone = toneAt48kHz();
    const std::vector<int16_t> converted = resampleFloatTo16kHzInt16(tone, 48000);
    int peak = 0;
    for (int16_t sample : converted)
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    const auto count = static_cast<qsizetype>(converted.size());
    suite.check(
        count >= 1580 && count <= 1620 && peak > 10000,
        QStringLiteral("Polyphase libsamplerate resamples 48kHz Float32 -> 16kHz Int16 mono accurately "
                       "(%1 samples, peak %2)")
            .arg(count)
            .arg(peak));

    // No installed model is not a failure: the check is left out.
    if (const std::optional<SenseVoiceModelPaths> model = senseVoiceModelPaths())
        suite.check(model->isFullPrecision,
                    QStringLiteral("Local lossless 886MB SenseVoice FP32 model detected and prioritized"));
}

void runLearningChecks(Suite& suite, PersonalLexiconStore& store)
{
    suite.check(
        PolishEngine::applyInstantLocalDictionary(
            QStringLiteral("招这个 Su 的人做日本的 s Su，让 Summary 看一下 Supabase"), {seoEntry()},
            ActiveScreenContext::empty(), LLMConfig::defaults(),
            false) == QStringLiteral("招这个 SEO 的人做日本的 SEO，让 Summary 看一下 Supabase"),
        QStringLiteral("Word-boundary dictionary fixes 'Su' / 's Su' -> 'SEO' while keeping 'Summary' & "
                       "'Supabase' intact"));

    using Pair = PersonalLexiconStore::LearnedPair;
    const auto edited = store.learnFromManualEditIfApplicable(
        QStringLiteral("第一段背景说明。\n\n第二段我们让星合跟进一下海外投放。\n\n第三段收尾。"),
        QStringLiteral("第一段背景说明。\n\n第二段我们让星河跟进一下海外投放。\n\n第三段收尾。"));
    suite.check(
        edited == Pair{QStringLiteral("星合"), QStringLiteral("星河")},
        QStringLiteral("Multi-paragraph auto-learn extracts '星合' -> '星河' across newline-separated text"));
    const auto rewritten = store.learnFromSelectionRewrite(QStringLiteral("Su"), QStringLiteral("SEO"));
    suite.check(
        rewritten == Pair{QStringLiteral("Su"), QStringLiteral("SEO")},
        QStringLiteral("Selection voice rewrite permanently learns 'Su' -> 'SEO' into personal lexicon"));

    const QStringList hotwords =
        store.topAcousticContextualStrings(QStringLiteral("正在对比 Semrush 与 GitHub 增长数据"), 15);
    suite.check(
        hotwords.contains(QStringLiteral("Semrush")) && hotwords.contains(QStringLiteral("GitHub")),
        QStringLiteral("Context-ranked hotwords dynamically inject live CamelCase/uppercase terms from "
                       "active context"));
}

void runPolishRouteChecks(Suite& suite)
{
    suite.check(
        !LLMConfig::defaults().enableLiveInlineTyping,
        QStringLiteral("Default config turns OFF frontend inline typing in favor of capsule symbol counter "
                       "+ instant paste"));
    const auto bypasses = [](const QString& text) {
        return PolishEngine::canBypassCloudPolish(text, {}, FormattingStyle::structured, true, true);
    };
    suite.check(bypasses(QStringLiteral("好的，那你动手把这3点改上吧。")),
                QStringLiteral("Clean <=28-char Seed-ASR sentence bypasses Pass-2 LLM in 0ms"));
    suite.check(!bypasses(QStringLiteral("嗯，那个帮我看一下第一点不对改成第二点。")),
                QStringLiteral("Sentence with fillers or self-corrections still routes to Pass-2 LLM"));

    AudioLevelBus bus;
    bus.reset();
    bus.pushRecognizedCount(14);
    const AudioLevelBus::SymbolProgress progress = bus.sampleRecognizedSymbolProgress();
    bus.reset();
    suite.check(
        progress.exactTarget == 14 && progress.smoothProgress > 0,
        QStringLiteral("Capsule Micro-Symbol counter smoothly advances toward recognized character count"));
}

void runHotkeyChecks(Suite& suite)
{
    using namespace ModifierFlag;
    const auto matches = &HotkeyMonitor::matchesSingleModifierPress;
    suite.check(TriggerKeyOption::presetMatrixOrder().size() == 10,
                QStringLiteral("Symmetric 2x5 hotkey preset grid exposes all Left/Right modifiers + Fn + "
                               "Option+Space"));
    suite.check(matches(TriggerKeyOption::leftOption, KeyCode::LeftOption, Option | DeviceLeftOption) &&
                    !matches(TriggerKeyOption::rightOption, KeyCode::LeftOption, Option | DeviceLeftOption),
                QStringLiteral("Left Option (keyCode 58) triggers ONLY .leftOption and never leaks into "
                               ".rightOption"));
    suite.check(matches(TriggerKeyOption::rightOption, KeyCode::RightOption, Option | DeviceRightOption) &&
                    !matches(TriggerKeyOption::leftOption, KeyCode::RightOption, Option | DeviceRightOption),
                QStringLiteral("Right Option (keyCode 61) triggers ONLY .rightOption and never leaks into "
                               ".leftOption"));
    suite.check(
        matches(TriggerKeyOption::leftControl, KeyCode::LeftControl, Control | DeviceLeftControl) &&
            matches(TriggerKeyOption::rightShift, KeyCode::RightShift, Shift | DeviceRightShift),
        QStringLiteral("Left Control (59) & Right Shift (60) match cleanly via hardware keyCode + device "
                       "mask"));
    suite.check(
        KeyNames::formatComboLabel(KeyCode::Space, CarbonModifier::Control | CarbonModifier::Option) ==
            QStringLiteral("⌃ + ⌥ + Space"),
        QStringLiteral("Custom combo formatter outputs crisp macOS keycap symbols ('⌃ + ⌥ + Space')"));
}

bool providerSwitchingKeepsEdits()
{
    LLMConfig config = LLMConfig::defaults();
    config.selectProvider(LLMProviderOption::volcengine);
    config.modelName = QStringLiteral("ep-20260915-fast");
    config.selectProvider(LLMProviderOption::custom);
    config.baseURL = kOllamaBaseURL;
    config.modelName = QStringLiteral("qwen2.5:7b");
    config.selectProvider(LLMProviderOption::deepseek);
    config.selectProvider(LLMProviderOption::volcengine);
    if (config.modelName != QStringLiteral("ep-20260915-fast"))
        return false;
    config.selectProvider(LLMProviderOption::custom);
    return config.baseURL == kOllamaBaseURL && PolishEngine::isKeylessLocalEndpoint(config.baseURL);
}

bool payloadsFitTheirModels()
{
    const auto payload = [](const QString& endpoint, const QString& model) {
        return PolishEngine::buildOpenAICompatiblePayload(endpoint, model, QStringLiteral("sys"),
                                                          QStringLiteral("hi"), 200, true);
    };
    const QJsonObject gpt =
        payload(kOpenAIBaseURL + QStringLiteral("/chat/completions"), QStringLiteral("gpt-5-mini"));
    const QString gemini = kGeminiBaseURL + QStringLiteral("/chat/completions");
    const QJsonObject flash25 = payload(gemini, QStringLiteral("gemini-2.5-flash"));
    const QJsonObject flash38 = payload(gemini, QStringLiteral("gemini-3.8-flash"));
    return isIntegerValue(gpt.value(QStringLiteral("max_completion_tokens")), 200) &&
           !gpt.contains(QStringLiteral("max_tokens")) &&
           isTextValue(gpt.value(QStringLiteral("reasoning_effort")), QStringLiteral("minimal")) &&
           isTextValue(flash25.value(QStringLiteral("reasoning_effort")), QStringLiteral("none")) &&
           isTextValue(flash38.value(QStringLiteral("reasoning_effort")), QStringLiteral("minimal"));
}

void runProviderChecks(Suite& suite)
{
    suite.check(
        providerSwitchingKeepsEdits(),
        QStringLiteral("Provider switching preserves per-provider model IDs/URLs and supports keyless local "
                       "Ollama endpoints"));
    const auto slot = [](LLMProviderOption provider) { return KeychainHelper::providerSlot(provider); };
    suite.check(
        slot(LLMProviderOption::dashscope) == QStringLiteral("dashscope_api_key") &&
            slot(LLMProviderOption::openai) == QStringLiteral("openai_api_key") &&
            slot(LLMProviderOption::gemini) == QStringLiteral("gemini_api_key") &&
            slot(LLMProviderOption::anthropic) == QStringLiteral("anthropic_api_key") &&
            slot(LLMProviderOption::custom) == QStringLiteral("custom_api_key"),
        QStringLiteral("Unified provider selector routes DashScope, OpenAI, Gemini, Anthropic, and Custom "
                       "keys to isolated Keychain slots"));
    const QString messages = PolishEngine::normalizeAnthropicMessagesEndpoint(kAnthropicBaseURL);
    suite.check(
        LLMProviderOption::infer(kOpenAIBaseURL) == LLMProviderOption::openai &&
            LLMProviderOption::infer(kGeminiBaseURL) == LLMProviderOption::gemini &&
            LLMProviderOption::infer(kAnthropicBaseURL) == LLMProviderOption::anthropic &&
            PolishEngine::isAnthropicEndpoint(kAnthropicBaseURL) &&
            messages == kAnthropicBaseURL + QStringLiteral("/messages") &&
            messages.endsWith(QStringLiteral("/v1/messages")),
        QStringLiteral("Accurately detects OpenAI, Google Gemini, and native Anthropic Claude Messages API "
                       "endpoints"));
    suite.check(
        payloadsFitTheirModels(),
        QStringLiteral("Builds provider-accurate OpenAI GPT-5 (max_completion_tokens) and Gemini 2.5/3.8 "
                       "(reasoning_effort) payloads"));
    suite.check(
        !LLMConfig::defaults().showInDock,
        QStringLiteral("Default app mode runs cleanly in top Menu Bar without cluttering the macOS Dock"));
}

bool legacyASRSettingsMigrate()
{
    const std::optional<LLMConfig> legacy = decodeConfig(
        QStringLiteral(R"({"enableVolcSeedASR":false,"baseURL":"%1","modelName":"gpt-4.1-mini"})")
            .arg(kOpenAIBaseURL)
            .toUtf8());
    const std::optional<LLMConfig> groq = decodeConfig(
        QStringLiteral(
            R"({"asrProvider":"openAIWhisper","openAIASRBaseURL":"%1","openAIASRModel":"whisper-large-v3-turbo"})")
            .arg(kGroqBaseURL)
            .toUtf8());
    return legacy && groq && legacy->asrProvider == ASRProviderOption::localSenseVoice &&
           groq->asrProvider == ASRProviderOption::openAIWhisper &&
           groq->openAIASRModel == QStringLiteral("whisper-large-v3-turbo") && !groq->enableVolcSeedASR;
}

bool transcriptionEndpointsNormalize()
{
    const auto normalized = &OpenAITranscriptionClient::normalizeTranscriptionEndpoint;
    const QString suffix = QStringLiteral("/audio/transcriptions");
    return normalized(kOpenAIBaseURL) == kOpenAIBaseURL + suffix &&
           normalized(kGroqBaseURL + QLatin1Char('/')) == kGroqBaseURL + suffix &&
           normalized(kRelayBaseURL) == kRelayBaseURL + QStringLiteral("/v1") + suffix &&
           normalized(kOpenAIBaseURL + suffix) == kOpenAIBaseURL + suffix &&
           KeychainHelper::isGroqURL(kGroqBaseURL.toLower());
}

bool wavHeaderIsValid()
{
    const std::vector<qint16> pcm = {0, 1000, -1000, 32000, -32000, 500};
    const QByteArray wav = OpenAITranscriptionClient::encodePCM16ToWAV(pcm, 16000);
    const auto expectedSize = static_cast<qsizetype>(44 + 2 * pcm.size());
    return wav.size() == expectedSize && wav.mid(0, 4) == "RIFF" && wav.mid(8, 4) == "WAVE" &&
           wav.mid(36, 4) == "data" && littleEndian32(wav, 24) == 16000 &&
           littleEndian32(wav, 40) == 2 * pcm.size();
}

void runTranscriptionChecks(Suite& suite)
{
    suite.check(legacyASRSettingsMigrate(),
                QStringLiteral("ASRProviderOption migrates legacy enableVolcSeedASR configs and preserves "
                               "OpenAI/Groq ASR settings"));
    suite.check(transcriptionEndpointsNormalize(),
                QStringLiteral("Normalizes OpenAI, Groq, and custom transcription endpoints cleanly without "
                               "duplicating path segments"));
    suite.check(
        wavHeaderIsValid(),
        QStringLiteral("Encodes 16kHz mono Int16 PCM into a valid 44-byte RIFF/WAVE payload in memory"));

    const QString hint = OpenAITranscriptionClient::buildPromptHint(
        {QStringLiteral("Quorbell"), QStringLiteral("quorbell"), QStringLiteral("DeepSeek"),
         QStringLiteral("SwiftUI"), QStringLiteral("A"), QStringLiteral("Groq")},
        24);
    suite.check(
        hint == QStringLiteral("Quorbell, DeepSeek") &&
            OpenAITranscriptionClient::isoLanguageCode(QStringLiteral("zh-CN")) == QStringLiteral("zh") &&
            OpenAITranscriptionClient::isoLanguageCode(QStringLiteral("en-US")) == QStringLiteral("en"),
        QStringLiteral("Deduplicates and bounds OpenAI/Groq vocabulary prompt hints and maps locale to "
                       "ISO-639-1"));
}

} // namespace

namespace SelfTestSuite {

PrintLine standardOutput()
{
    return [](const QString& line) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    };
}

int runAll(const PrintLine& print)
{
    print(QStringLiteral("==> Running Quorbell Core Regression Suite..."));
    Suite suite(print);
    runPhoneticChecks(suite);

    // A throwaway lexicon: a new name each run, so every run starts from the same store.
    // Qt's temporary folder is empty when TMPDIR names a folder that does not exist: never the working
    // directory then.
    QString temporaryFolder = QDir::tempPath();
    if (temporaryFolder.isEmpty() || QDir::isRelativePath(temporaryFolder))
        temporaryFolder = QStringLiteral("/tmp");
    const QString lexiconPath =
        QDir(temporaryFolder)
            .filePath(QStringLiteral("qb_selftest_%1.json")
                          .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()));
    int status = 0;
    {
        PersonalLexiconStore store(lexiconPath);
        buildMergeFixture(store);
        runLexiconChecks(suite, store);
        runListMarkerChecks(suite);
        runFormattingChecks(suite);
        runRoutingChecks(suite);
        runSpeechChecks(suite);
        runLearningChecks(suite, store);
        runPolishRouteChecks(suite);
        runHotkeyChecks(suite);
        runProviderChecks(suite);
        runTranscriptionChecks(suite);
        print(QStringLiteral("==> Summary: %1 passed, %2 failed.").arg(suite.passed()).arg(suite.failed()));
        status = suite.failed() == 0 ? 0 : 1;
    }
    // The result is decided before the clean-up, whose failure changes nothing. Where no trash can be had the
    // throw-away file is removed instead: Qt's own move falls back to the working directory then.
    if (const Status trashed = UserTrash::moveToTrash(lexiconPath);
        !trashed && !QFile::remove(lexiconPath) && QFileInfo::exists(lexiconPath)) {
        const QByteArray line =
            QStringLiteral("%1 is left behind: %2\n").arg(lexiconPath, trashed.error).toUtf8();
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    }
    return status;
}

} // namespace SelfTestSuite

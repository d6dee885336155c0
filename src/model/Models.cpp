#include "model/Models.h"

#include "util/Json.h"

#include <QJsonObject>
#include <array>
#include <limits>

namespace {

// Looks up the raw-value table of an enumeration whose cases are numbered 0..N-1 in declaration order.
template <typename Type, std::size_t N>
std::optional<Type> findRaw(const std::array<QStringView, N>& table, QStringView raw)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (table[i] == raw)
            return Type(static_cast<typename Type::Value>(i));
    }
    return std::nullopt;
}

template <typename Type, std::size_t N>
QList<Type> casesOf(const std::array<QStringView, N>&)
{
    QList<Type> cases;
    for (std::size_t i = 0; i < N; ++i)
        cases.append(Type(static_cast<typename Type::Value>(i)));
    return cases;
}

template <std::size_t N>
QString lookup(const std::array<QStringView, N>& table, int index)
{
    return table[static_cast<std::size_t>(index)].toString();
}

#define QB_RAW_TABLE(Type, table)                                                                              \
    QString Type::rawValue() const { return lookup(table, value); }                                            \
    std::optional<Type> Type::fromRawValue(QStringView raw) { return findRaw<Type>(table, raw); }              \
    QList<Type> Type::allCases() { return casesOf<Type>(table); }

// --- LLMProviderOption -------------------------------------------------------------------------------------

constexpr std::array<QStringView, 7> kProviderRaw = {u"deepseek", u"volcengine", u"dashscope", u"openai",
                                                     u"gemini",   u"anthropic",  u"custom"};
constexpr std::array<QStringView, 7> kProviderTitle = {
    u"DeepSeek 4 Flash", u"火山方舟 Doubao-Seed", u"阿里百炼 Qwen-Flash",    u"OpenAI GPT",
    u"Google Gemini",    u"Anthropic Claude",      u"自定义 OpenAI 兼容接口"};
constexpr std::array<QStringView, 7> kProviderShortName = {u"DeepSeek", u"火山方舟", u"阿里百炼", u"OpenAI",
                                                           u"Gemini",   u"Claude",   u"自定义接口"};
constexpr std::array<QStringView, 7> kProviderSubtitle = {
    u"极速主力推荐 · KV 缓存命中约 210ms 首包",
    u"字节豆包大模型 · 支持 Seed-2.1-lite 或 ep- 接入点",
    u"阿里云百炼兼容模式 · 通义极速轻量模型",
    u"OpenAI 官方直连 · 兼容 gpt-4.1-mini / gpt-5-mini / gpt-4o-mini",
    u"Google AI Studio 官方兼容通道 · 支持 gemini-3.8-flash / 2.5-flash",
    u"Anthropic 原生 Messages 流式协议 · 支持 claude-haiku-5-5 / 4-5",
    u"支持 SiliconFlow / OpenRouter / MiniMax / 本地 Ollama"};
constexpr std::array<QStringView, 7> kProviderModel = {u"deepseek-flash", u"doubao-seed-2-1-lite-260915",
                                                       u"qwen-flash",     u"gpt-4.1-mini",
                                                       u"gemini-3.8-flash", u"claude-haiku-5-5",
                                                       u"deepseek-ai/DeepSeek-V3"};
constexpr std::array<QStringView, 7> kProviderBaseURL = {u"https://api.deepseek.com/v1",
                                                         u"https://ark.cn-beijing.volces.com/api/v3",
                                                         u"https://dashscope.aliyuncs.com/compatible-mode/v1",
                                                         u"https://api.openai.com/v1",
                                                         u"https://generativelanguage.googleapis.com/v1beta/openai",
                                                         u"https://api.anthropic.com/v1",
                                                         u"https://api.siliconflow.cn/v1"};

// --- the other enumerations --------------------------------------------------------------------------------

constexpr std::array<QStringView, 3> kASRRaw = {u"volcSeedASR", u"openAIWhisper", u"localSenseVoice"};
constexpr std::array<QStringView, 3> kASRTitle = {u"豆包流式语音大模型 2.0", u"OpenAI / Groq 云端语音大模型",
                                                  u"纯本机 SenseVoice FP32 离线满血模型"};
constexpr std::array<QStringView, 3> kASRShortName = {u"豆包 Seed-ASR", u"OpenAI / Groq", u"本机 SenseVoice"};

constexpr std::array<QStringView, 3> kStyleRaw = {u"structured", u"lightPolish", u"verbatimLocal"};
constexpr std::array<QStringView, 3> kStyleName = {u"结构化精炼（去语病 · 自动分段/1.2.3.列点）",
                                                   u"轻度纠错（仅删嗯啊 · 保留原句式）",
                                                   u"纯本地直出（零云端 · 原声秒出）"};

constexpr std::array<QStringView, 2> kBehaviorRaw = {u"tapToggle", u"holdToTalk"};
constexpr std::array<QStringView, 2> kBehaviorName = {u"按一下开始 · 再按停止（免按住）", u"按住说话 · 松开停止"};

constexpr std::array<QStringView, 11> kTriggerRaw = {
    u"fn",           u"leftOption",  u"rightOption",  u"leftCommand", u"rightCommand", u"leftControl",
    u"rightControl", u"leftShift",   u"rightShift",   u"optionSpace", u"custom"};
constexpr std::array<QStringView, 11> kTriggerDisplay = {
    u"Fn (地球键)",     u"左侧 Alt (⌥)",     u"右侧 Alt (⌥)",     u"左侧 Super (⌘)",
    u"右侧 Super (⌘)",  u"左侧 Control (⌃)", u"右侧 Control (⌃)", u"左侧 Shift (⇧)",
    u"右侧 Shift (⇧)",  u"Alt + Space (⌥Space)", u"自定义快捷键"};
constexpr std::array<QStringView, 11> kTriggerShort = {
    u"Fn 地球键",      u"左侧 Alt ⌥",    u"右侧 Alt ⌥",   u"左侧 Super ⌘", u"右侧 Super ⌘", u"左侧 Control ⌃",
    u"右侧 Control ⌃", u"左侧 Shift ⇧",  u"右侧 Shift ⇧", u"⌥ + Space",    u"自定义键"};
constexpr std::array<QStringView, 11> kTriggerCompact = {
    u"Fn 地球键",    u"左 Alt ⌥",   u"右 Alt ⌥",   u"左 Super ⌘", u"右 Super ⌘", u"左 Control ⌃",
    u"右 Control ⌃", u"左 Shift ⇧", u"右 Shift ⇧", u"⌥ + Space",  u"自定义"};

constexpr std::array<QStringView, 6> kCategoryRaw = {u"人名/称呼", u"项目/技术", u"标的/商业",
                                                     u"纪要/备忘", u"浏览高频",  u"纠错自学习"};

constexpr std::array<QStringView, 2> kModeRaw = {u"口述成稿", u"选中改写"};

constexpr std::array<QStringView, 4> kTabRaw = {u"洞察总览", u"口述历史", u"个人词库", u"引擎与快捷键"};
constexpr std::array<QStringView, 4> kTabIcon = {u"sparkles.rectangle.stack", u"clock.arrow.circlepath",
                                                 u"character.book.closed", u"slider.horizontal.3"};

} // namespace

QB_RAW_TABLE(LLMProviderOption, kProviderRaw)
QB_RAW_TABLE(ASRProviderOption, kASRRaw)
QB_RAW_TABLE(FormattingStyle, kStyleRaw)
QB_RAW_TABLE(TriggerBehavior, kBehaviorRaw)
QB_RAW_TABLE(TriggerKeyOption, kTriggerRaw)
QB_RAW_TABLE(LexiconCategory, kCategoryRaw)
QB_RAW_TABLE(DictationMode, kModeRaw)
QB_RAW_TABLE(SidebarTab, kTabRaw)

QString LLMProviderOption::title() const { return lookup(kProviderTitle, value); }
QString LLMProviderOption::shortName() const { return lookup(kProviderShortName, value); }
QString LLMProviderOption::subtitle() const { return lookup(kProviderSubtitle, value); }
QString LLMProviderOption::defaultBaseURL() const { return lookup(kProviderBaseURL, value); }
QString LLMProviderOption::defaultModelName() const { return lookup(kProviderModel, value); }

LLMProviderOption LLMProviderOption::infer(const QString& baseURL)
{
    // Substring tests on the lower-cased text, first match wins; no URL parsing, so relays that embed a
    // provider's domain in their path still map to that provider.
    struct Rule {
        QStringView needle;
        Value provider;
    };
    static constexpr Rule rules[] = {
        {u"deepseek.com", deepseek},
        {u"volces.com", volcengine},
        {u"volcengine", volcengine},
        {u"aliyuncs.com", dashscope},
        {u"openai.com", openai},
        {u"generativelanguage.googleapis.com", gemini},
        {u"anthropic.com", anthropic},
    };
    const QString lowered = baseURL.toLower();
    for (const Rule& rule : rules) {
        if (lowered.contains(rule.needle))
            return rule.provider;
    }
    return custom;
}

QString ASRProviderOption::title() const { return lookup(kASRTitle, value); }
QString ASRProviderOption::shortName() const { return lookup(kASRShortName, value); }
QString FormattingStyle::displayName() const { return lookup(kStyleName, value); }
QString TriggerBehavior::displayName() const { return lookup(kBehaviorName, value); }
QString TriggerKeyOption::displayName() const { return lookup(kTriggerDisplay, value); }
QString TriggerKeyOption::shortLabel() const { return lookup(kTriggerShort, value); }
QString TriggerKeyOption::compactSidebarLabel() const { return lookup(kTriggerCompact, value); }

bool TriggerKeyOption::isSingleModifierKey() const { return value != optionSpace && value != custom; }

bool TriggerKeyOption::isComboProneLeftModifier() const
{
    return value == leftOption || value == leftCommand || value == leftControl || value == leftShift;
}

QList<TriggerKeyOption> TriggerKeyOption::presetMatrixOrder()
{
    return {fnKey,        leftOption,  rightOption,  leftCommand, rightCommand,
            optionSpace,  leftControl, rightControl, leftShift,   rightShift};
}

QString SidebarTab::icon() const { return lookup(kTabIcon, value); }

QJsonValue CustomHotkeySpec::toJson() const
{
    return QJsonObject{{QStringLiteral("keyCode"), static_cast<qint64>(keyCode)},
                       {QStringLiteral("carbonModifiers"), static_cast<qint64>(carbonModifiers)},
                       {QStringLiteral("label"), label}};
}

std::optional<CustomHotkeySpec> CustomHotkeySpec::fromJson(const QJsonValue& json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const auto keyCode = Json::integer(object.value(QStringLiteral("keyCode")));
    const auto modifiers = Json::integer(object.value(QStringLiteral("carbonModifiers")));
    const auto label = Json::string(object.value(QStringLiteral("label")));
    if (!keyCode || !modifiers || !label)
        return std::nullopt;
    if (*keyCode < 0 || *keyCode > std::numeric_limits<quint16>::max() || *modifiers < 0 ||
        *modifiers > std::numeric_limits<quint32>::max())
        return std::nullopt;
    return CustomHotkeySpec{static_cast<quint16>(*keyCode), static_cast<quint32>(*modifiers), *label};
}

#pragma once

#include <QHashFunctions>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringView>
#include <optional>

// Enumerations whose string raw value is also their persisted form. Each type wraps a plain enum `Value` so
// that cases read as `TriggerKeyOption::rightControl`, switch statements work, and lookups hang off the type.
#define QB_RAW_ENUM(Type)                                                                                      \
    Value value{};                                                                                             \
    constexpr Type() = default;                                                                                \
    constexpr Type(Value v) : value(v) {}                                                                      \
    constexpr operator Value() const { return value; }                                                         \
    friend constexpr bool operator==(Type a, Type b) { return a.value == b.value; }                            \
    friend constexpr bool operator==(Type a, Value b) { return a.value == b; }                                 \
    friend constexpr bool operator<(Type a, Type b) { return a.value < b.value; }                              \
    friend size_t qHash(Type t, size_t seed = 0) { return ::qHash(static_cast<int>(t.value), seed); }           \
    QString rawValue() const;                                                                                  \
    QString id() const { return rawValue(); }                                                                  \
    /* Exact, case-sensitive match of a raw value. */                                                          \
    static std::optional<Type> fromRawValue(QStringView raw);                                                  \
    static QList<Type> allCases();                                                                             \
    /* Nothing when the JSON value is not a string holding a raw value. */                                     \
    static std::optional<Type> fromJson(const QJsonValue& json)                                                \
    {                                                                                                          \
        return json.isString() ? fromRawValue(json.toString()) : std::nullopt;                                 \
    }

struct LLMProviderOption {
    enum Value { deepseek, volcengine, dashscope, openai, gemini, anthropic, custom };
    QB_RAW_ENUM(LLMProviderOption)

    QString title() const;
    QString shortName() const;
    QString subtitle() const;
    QString defaultBaseURL() const;
    QString defaultModelName() const;

    // The provider a base URL belongs to, by its host; anything unknown (a relay, a local server) is custom.
    static LLMProviderOption infer(const QString& baseURL);
};

struct ASRProviderOption {
    enum Value { volcSeedASR, openAIWhisper, localSenseVoice };
    QB_RAW_ENUM(ASRProviderOption)

    QString title() const;
    QString shortName() const;
};

struct FormattingStyle {
    enum Value { structured, lightPolish, verbatimLocal };
    QB_RAW_ENUM(FormattingStyle)

    QString displayName() const;
};

struct TriggerBehavior {
    enum Value { tapToggle, holdToTalk };
    QB_RAW_ENUM(TriggerBehavior)

    QString displayName() const;
};

struct TriggerKeyOption {
    // fnKey's raw value is "fn".
    enum Value {
        fnKey,
        leftOption,
        rightOption,
        leftCommand,
        rightCommand,
        leftControl,
        rightControl,
        leftShift,
        rightShift,
        optionSpace,
        custom
    };
    QB_RAW_ENUM(TriggerKeyOption)

    QString displayName() const;
    QString shortLabel() const;
    QString compactSidebarLabel() const;
    // fn and the eight side-specific modifiers.
    bool isSingleModifierKey() const;
    // The left-side modifiers that users also press inside ordinary shortcuts.
    bool isComboProneLeftModifier() const;
    // The order of the preset buttons in the trigger-key grid (no custom).
    static QList<TriggerKeyOption> presetMatrixOrder();
};

struct LexiconCategory {
    enum Value { person, project, finance, memo, browser, autoLearned };
    QB_RAW_ENUM(LexiconCategory)
};

struct DictationMode {
    enum Value { dictate, rewriteSelection };
    QB_RAW_ENUM(DictationMode)
};

struct SidebarTab {
    enum Value { home, history, dictionary, settings };
    QB_RAW_ENUM(SidebarTab)

    // Symbol name of the tab's icon.
    QString icon() const;
};

#undef QB_RAW_ENUM

// A shortcut recorded by the user: a virtual key code, a Carbon modifier mask and its display label.
struct CustomHotkeySpec {
    static constexpr quint32 kControlMask = 0x1000;

    quint16 keyCode = 49; // Space
    quint32 carbonModifiers = kControlMask;
    QString label = QStringLiteral("⌃ + Space");

    static CustomHotkeySpec defaults() { return {}; }

    QJsonValue toJson() const;
    // All three keys are required with in-range numbers; anything else fails the whole decode.
    static std::optional<CustomHotkeySpec> fromJson(const QJsonValue& json);

    bool operator==(const CustomHotkeySpec&) const = default;
};

#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QStringView>
#include <optional>

// The scene class of a dictation target; its raw value is the scene label the polishing prompt carries.
struct AppToneProfile {
    enum Value { instantMessaging, emailAndFormalDoc, aiPromptAndNotes, shellTerminal };

    Value value = aiPromptAndNotes;
    constexpr AppToneProfile() = default;
    constexpr AppToneProfile(Value v) : value(v) {}
    constexpr operator Value() const { return value; }
    friend constexpr bool operator==(AppToneProfile a, AppToneProfile b) { return a.value == b.value; }
    friend constexpr bool operator==(AppToneProfile a, Value b) { return a.value == b; }
    friend size_t qHash(AppToneProfile p, size_t seed = 0)
    {
        return ::qHash(static_cast<int>(p.value), seed);
    }

    QString rawValue() const;
    // Exact, case-sensitive match of a raw value.
    static std::optional<AppToneProfile> fromRawValue(QStringView raw);
    static QList<AppToneProfile> allCases();
};

// Where the text of one dictation goes: the focused application and what its focused field holds. Captured
// once per dictation and passed around by value.
struct ActiveScreenContext {
    QString appName;
    QString bundleID; // desktop-file id where the window exposes one, else its WM_CLASS class
    QString windowTitle;
    QString selectedText;
    QString precedingText;
    bool hasFocusedTextInput = false;

    // Five empty texts with a text input taken to be focused.
    static ActiveScreenContext empty();

    // Editors, IDEs and terminals: formatting that would break code stays off.
    bool isCodeOrTerminal() const;
    bool isInstantMessaging() const;
    bool isStrictShellTerminal() const;
    // The only getter that also reads the window title, so a browser tab of a mail service counts.
    bool isEmailOrFormalDoc() const;
    AppToneProfile toneProfile() const;

    bool operator==(const ActiveScreenContext&) const = default;
};

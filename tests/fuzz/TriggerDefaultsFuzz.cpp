// The trigger settings read back from the defaults: the stored shortcut (compact JSON) and the raw values
// of the trigger key and behaviour, read as AppState reads them at start.
#include "fuzz/FuzzTarget.h"

#include "model/Models.h"
#include "system/KeyNames.h"

#include <QJsonDocument>
#include <QJsonObject>

QB_FUZZ_TARGET(trigger_defaults)
{
    if (const auto shortcut = CustomHotkeySpec::fromJson(QJsonDocument::fromJson(input).object())) {
        FUZZ_CHECK(CustomHotkeySpec::fromJson(shortcut->toJson()) == shortcut);
        FUZZ_CHECK(!KeyNames::formatComboLabel(shortcut->keyCode, shortcut->carbonModifiers).isEmpty());
    }
    const QString raw = QString::fromUtf8(input);
    if (const auto key = TriggerKeyOption::fromRawValue(raw))
        FUZZ_CHECK(key->rawValue() == raw);
    if (const auto behavior = TriggerBehavior::fromRawValue(raw))
        FUZZ_CHECK(behavior->rawValue() == raw);
}

#pragma once

#include <QString>
#include <memory>

class QTranslator;

// Qt's own texts in Chinese, as the rest of the window speaks: the standard dialogs (the folder picker's
// columns and places) and a text field's context menu (撤销, 剪切, 复制, 粘贴…). The catalogue is Qt's own,
// from the translations the system installs with Qt (Debian's qt6-translations-l10n).
namespace QtTranslation {

// Loads Qt's Chinese catalogue and installs it in the running application, where it stays until the returned
// translator goes. Null with `failure` set when the catalogue cannot be loaded: Qt then speaks English.
std::unique_ptr<QTranslator> installChinese(QString* failure);

} // namespace QtTranslation

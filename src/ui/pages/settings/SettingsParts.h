#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QAbstractButton;
class QBButton;
class QBCard;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QWidget;

// The pieces every card of the engine settings page is made of, and setters that touch a widget only when
// what it shows differs (the page refreshes many times a second during a dictation).
namespace SettingsParts {

// A plain-text label in a theme font and colour.
QLabel* label(const QString& text, const QFont& font, const QColor& color, QWidget* parent,
              const QString& objectName = {});
void setText(QLabel* label, const QString& text);
void setColor(QLabel* label, const QColor& color);
void setText(QAbstractButton* button, const QString& text);
void setText(QLineEdit* field, const QString& text);
void setPlaceholder(QLineEdit* field, const QString& text);
void setEnabled(QWidget* widget, bool enabled);
void setVisible(QWidget* widget, bool visible);

// A 1-pt hairline across the card.
QWidget* hairline(QWidget* parent);
// One of the page's four cards: corner radius 14, the given padding, its rows 11 apart.
QBCard* sectionCard(qreal padding, QWidget* parent);
// A card's first row: its numbered title, a spacer and a muted note.
QWidget* sectionHeader(const QString& title, qreal titleSize, const QString& note, qreal noteSize,
                       QWidget* parent);
// A compact text or key field.
QLineEdit* compactField(const QString& placeholder, bool secure, QWidget* parent, const QString& objectName);
// A compact secondary or primary button.
QBButton* compactButton(bool primary, const QString& title, QWidget* parent, const QString& objectName);
// The label of a field row ("API Key", "接口地址"), 12 pt medium in a column 60 wide.
QLabel* fieldLabel(const QString& text, QWidget* parent, bool monospaced = false);
// A row laid out centred vertically with the given spacing and no margins.
QHBoxLayout* row(QWidget* holder, int spacing);
// The row of an endpoint: "接口地址" with its field, then "模型 ID" with a model field of the given width.
struct EndpointRow {
    QWidget* holder = nullptr;
    QLineEdit* baseURLField = nullptr;
    QLineEdit* modelField = nullptr;
};
EndpointRow endpointRow(const QString& baseURLPlaceholder, const QString& modelPlaceholder, int modelWidth,
                        QWidget* parent);

} // namespace SettingsParts

#include "ui/pages/settings/SettingsParts.h"

#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBInput.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

namespace SettingsParts {

QLabel* label(const QString& text, const QFont& font, const QColor& color, QWidget* parent,
              const QString& objectName)
{
    auto* shown = new QLabel(text, parent);
    shown->setTextFormat(Qt::PlainText);
    shown->setFont(font);
    if (!objectName.isEmpty())
        shown->setObjectName(objectName);
    setColor(shown, color);
    return shown;
}

void setText(QLabel* label, const QString& text)
{
    if (label->text() != text)
        label->setText(text);
}

void setColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    if (palette.color(QPalette::WindowText) == color)
        return;
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void setText(QAbstractButton* button, const QString& text)
{
    if (button->text() != text) {
        button->setText(text);
        button->updateGeometry();
    }
}

void setText(QLineEdit* field, const QString& text)
{
    // Only a change made elsewhere reaches the field, so the cursor stays where the user types.
    if (field->text() != text)
        field->setText(text);
}

void setPlaceholder(QLineEdit* field, const QString& text)
{
    if (field->placeholderText() != text)
        field->setPlaceholderText(text);
}

void setEnabled(QWidget* widget, bool enabled)
{
    if (widget->isEnabled() != enabled)
        widget->setEnabled(enabled);
}

void setVisible(QWidget* widget, bool visible)
{
    if (widget->isVisibleTo(widget->parentWidget()) != visible)
        widget->setVisible(visible);
}

QWidget* hairline(QWidget* parent)
{
    return qbRule(parent);
}

QBCard* sectionCard(qreal padding, QWidget* parent)
{
    auto* card = new QBCard(14, padding, parent);
    card->contentLayout()->setSpacing(11);
    return card;
}

QWidget* sectionHeader(const QString& title, qreal titleSize, const QString& note, qreal noteSize,
                       QWidget* parent)
{
    auto* header = new QWidget(parent);
    QHBoxLayout* layout = row(header, 8);
    layout->addWidget(label(title, QBTheme::font(titleSize, QFont::DemiBold), QBTheme::inkPrimary(), header,
                            QStringLiteral("sectionTitle")));
    layout->addStretch(1);
    layout->addWidget(
        label(note, QBTheme::font(noteSize), QBTheme::inkMuted(), header, QStringLiteral("sectionNote")));
    return header;
}

QLineEdit* compactField(const QString& placeholder, bool secure, QWidget* parent, const QString& objectName)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(objectName);
    field->setPlaceholderText(placeholder);
    if (secure)
        field->setEchoMode(QLineEdit::Password);
    qbCompactInputStyle(field);
    // A long placeholder must not widen the row past the window.
    field->setMinimumWidth(60);
    return field;
}

QBButton* compactButton(bool primary, const QString& title, QWidget* parent, const QString& objectName)
{
    auto* button =
        new QBButton(primary ? QBButton::Kind::primary : QBButton::Kind::secondary, title, parent, true);
    button->setObjectName(objectName);
    return button;
}

QLabel* fieldLabel(const QString& text, QWidget* parent, bool monospaced)
{
    QLabel* shown =
        label(text,
              QBTheme::font(12, QFont::Medium,
                            monospaced ? QBTheme::FontDesign::monospaced : QBTheme::FontDesign::system),
              QBTheme::inkSecondary(), parent);
    shown->setFixedWidth(60);
    return shown;
}

QHBoxLayout* row(QWidget* holder, int spacing)
{
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

EndpointRow endpointRow(const QString& baseURLPlaceholder, const QString& modelPlaceholder, int modelWidth,
                        QWidget* parent)
{
    EndpointRow endpoint;
    endpoint.holder = new QWidget(parent);
    QHBoxLayout* layout = row(endpoint.holder, 8);
    layout->addWidget(fieldLabel(QStringLiteral("接口地址"), endpoint.holder));
    endpoint.baseURLField =
        compactField(baseURLPlaceholder, false, endpoint.holder, QStringLiteral("baseURLField"));
    layout->addWidget(endpoint.baseURLField, 1);
    layout->addWidget(label(QStringLiteral("模型 ID"), QBTheme::font(12, QFont::Medium),
                            QBTheme::inkSecondary(), endpoint.holder));
    endpoint.modelField =
        compactField(modelPlaceholder, false, endpoint.holder, QStringLiteral("modelField"));
    endpoint.modelField->setFixedWidth(modelWidth);
    layout->addWidget(endpoint.modelField);
    return endpoint;
}

} // namespace SettingsParts

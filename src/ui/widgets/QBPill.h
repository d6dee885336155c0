#pragma once

#include "ui/theme/QBIcons.h"

#include <QAbstractButton>
#include <QFont>
#include <optional>

// The one pill and badge of the window: a text on a rounded or capsule fill with an optional inner border,
// leading dot or leading icon. Chips, count badges, the preset pills, the key and engine status pills and
// the permission badges are looks of it; only the preset pill takes clicks.
class QBPill final : public QAbstractButton {
    Q_OBJECT
public:
    struct Look {
        QFont font;
        QColor text;
        QColor fill;
        QColor border = Qt::transparent;
        qreal borderWidth = 1;
        qreal radius = -1; // < 0: a capsule
        qreal paddingH = 0;
        qreal paddingV = 0;
        qreal letterSpacing = 0;
        qreal spacing = 0; // between the dot or icon and the text
        std::optional<QColor> dot;
        qreal dotSize = 0;
        std::optional<QBIcon> icon;
        qreal iconSize = 0;
    };

    QBPill(const QString& text, const Look& look, QWidget* parent = nullptr);

    const Look& look() const { return m_look; }
    void setLook(const Look& look);
    // A clickable pill shows the hand cursor and emits clicked(); the others let clicks through.
    void setClickable(bool clickable);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QFont spacedFont() const;

    Look m_look;
};

// The looks and texts of the pills, from the same inputs the views take.
namespace QBPillLooks {

// The page header's badge.
QBPill::Look headerBadge();
// The dictionary tab's count.
QBPill::Look countBadge(bool selected);
// The sidebar's trigger-key chip.
QBPill::Look triggerChip();
// The transcription presets.
QBPill::Look presetPill(bool isActive);
// "当前生效" / "未启用".
QString engineStatusText(bool isActive);
QBPill::Look engineStatusBadge(bool isActive);
// The key state of an engine or model card.
QString keyStatusText(bool isConfigured, bool keylessLocal);
QBPill::Look keyStatusPill(bool isConfigured, bool keylessLocal, bool muted);
QBPill::Look permissionBadge(bool ok);

} // namespace QBPillLooks

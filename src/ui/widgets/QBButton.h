#pragma once

#include "ui/theme/QBIcons.h"

#include <QAbstractButton>
#include <QFont>
#include <optional>

class QPainter;
class QVariantAnimation;

// The window's painted button: the filled violet primary, the outlined neutral secondary and its destructive
// crimson variant, each regular or compact.
class QBButton final : public QAbstractButton {
    Q_OBJECT
public:
    enum class Kind { primary, secondary, destructive };

    // What the button draws in a given state.
    struct Look {
        QFont font;
        QColor text;
        QColor fill;
        QColor border; // transparent: none
        qreal radius = 0;
        qreal paddingH = 0;
        qreal paddingV = 0;
        qreal scale = 1;
    };
    static Look look(Kind kind, bool compact, bool enabled, bool pressed);

    QBButton(Kind kind, const QString& text, QWidget* parent = nullptr, bool compact = false);

    Kind kind() const { return m_kind; }
    bool isCompact() const { return m_compact; }
    // Stretches the label over the full width the layout offers.
    void setStretched(bool stretched);
    // A symbol before the title, in the title's colour, `size` layout pixels square, `spacing` before the
    // text.
    void setLeadingIcon(QBIcon icon, qreal size, qreal spacing = 5);
    const std::optional<QBIcon>& leadingIcon() const { return m_icon; }

    // The face of a button in `look`: what views that paint button faces themselves (rows of a long list)
    // share with the widget. A face without text shows the icon alone.
    static QSize faceSize(const Look& look, const QString& text, std::optional<QBIcon> icon, qreal iconSize,
                          qreal iconSpacing = 5);
    // Fill and border, then the icon and the title centred as a group; the look's scale is not applied.
    static void paintFace(QPainter& painter, const QRectF& bounds, const Look& look, const QColor& fill,
                          const QString& text, std::optional<QBIcon> icon, qreal iconSize,
                          qreal iconSpacing = 5);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind m_kind;
    bool m_compact;
    std::optional<QBIcon> m_icon;
    qreal m_iconSize = 0;
    qreal m_iconSpacing = 5;
    // While the primary button eases between rest (0) and pressed (1); the secondary switches at once.
    qreal m_press = 0;
    QVariantAnimation* m_pressAnimation = nullptr;
};

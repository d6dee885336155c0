#pragma once

#include <QColor>
#include <QImage>
#include <QVBoxLayout>
#include <QWidget>

// The card that frames a block of a page: content padded on all sides, a `cardBg` fill, a hairline border
// inside the edge and a soft shadow below. The shadow lies outside the card, so the card paints it onto its
// parent, under itself, instead of reserving room for it in its own geometry (which would shift the card
// out of line with the rest of the page).
class QBCard : public QWidget {
    Q_OBJECT
public:
    struct Shadow {
        QColor color;
        qreal blur = 0;
        qreal offsetY = 0;
    };
    static Shadow defaultShadow();

    QBCard(qreal cornerRadius, qreal padding, QWidget* parent = nullptr);
    ~QBCard() override;

    QVBoxLayout* contentLayout() const { return m_layout; }
    qreal cornerRadius() const { return m_radius; }
    void setShadow(std::optional<Shadow> shadow);
    const std::optional<Shadow>& shadow() const { return m_shadow; }
    void setColors(const QColor& fill, const QColor& border, qreal borderWidth = 1.0);
    const QColor& fillColor() const { return m_fill; }
    const QColor& borderColor() const { return m_border; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchParent();
    void repaintShadowArea();
    QRect shadowArea() const;

    qreal m_radius;
    QColor m_fill;
    QColor m_border;
    qreal m_borderWidth = 1;
    std::optional<Shadow> m_shadow;
    QVBoxLayout* m_layout;
    QWidget* m_watchedParent = nullptr;
    QImage m_shadowImage;
    QSize m_shadowSource; // the card size the image was blurred for
};

// A 1-pt line across its parent's width in `color` (the theme's hairline unless told otherwise).
QWidget* qbRule(QWidget* parent, const QColor& color = {});

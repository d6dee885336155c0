#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QPainterPath>
#include <QWidget>

// The backing of one pill layout: a capsule or rounded rectangle with layered fills, clipped to the shape,
// and a hairline border drawn inside its edge. Its content is the layout set on it.
class PillCapsule final : public QWidget {
    Q_OBJECT

public:
    struct Style {
        int fixedHeight = 0;       // 0: as tall as the content and its padding
        qreal cornerRadius = -1;   // below 0: a capsule, half the height
        QList<QColor> backgrounds; // front to back
        QColor border;
    };

    static constexpr qreal kBorderWidth = 0.8;

    explicit PillCapsule(Style style, QWidget* parent = nullptr);

    const Style& style() const { return m_style; }
    QSize sizeHint() const override;
    QPainterPath shapeIn(const QRectF& rect) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Style m_style;
};

// The phase symbols, drawn to the size of the text they stand beside.
class PillSymbolView final : public QWidget {
    Q_OBJECT

public:
    enum class Symbol { checkmarkCircle, clipboard, warningTriangle };

    PillSymbolView(Symbol symbol, qreal fontSize, QColor colour, QWidget* parent = nullptr);

    Symbol symbol() const { return m_symbol; }
    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol m_symbol;
    QColor m_colour;
};

// One line of text, cut short with an ellipsis when it is wider than the pill allows.
class PillTextLabel final : public QWidget {
    Q_OBJECT

public:
    PillTextLabel(QFont font, QColor colour, int maximumTextWidth, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return m_text; }
    // What is drawn: on one line and elided to fit.
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont m_font;
    QColor m_colour;
    int m_maximumTextWidth;
    QString m_text;
};

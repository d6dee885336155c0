#pragma once

#include <QPainterPath>
#include <QWidget>

// The app's figure-eight mark: a lemniscate stroked with the brand gradient, in a square of `size` points.
// Static; shown in the pill, the main window's sidebar and the first-run wizard.
class RuzoraMarkView final : public QWidget {
    Q_OBJECT

public:
    explicit RuzoraMarkView(qreal size = 24, QWidget* parent = nullptr);

    qreal markSize() const { return m_size; }
    QSize sizeHint() const override;

    // The stroke grows with the mark but never gets thinner than 2.2 points.
    static qreal lineWidth(qreal size);
    // The closed outline traced on a canvas of `canvas` size.
    static QPainterPath markPath(QSizeF canvas);
    // Draws the mark into `rect` (a canvas of its own).
    static void paintMark(QPainter& painter, const QRectF& rect, qreal size);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_size;
};

// The round logo badge: a card-white circle with a hairline border and the mark centred on it. The sidebar
// shows it at 34 with the mark at 21, the first-run wizard at 36 with the mark at 22.
class RuzoraMarkBadge final : public QWidget {
    Q_OBJECT

public:
    RuzoraMarkBadge(int diameter, qreal markSize, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

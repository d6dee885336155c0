#pragma once

#include <QColor>
#include <QWidget>

// A filled circle of a fixed size whose colour follows the state; repaints only when the colour changes.
class QBDot final : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    QBDot(qreal diameter, QWidget* parent = nullptr);

    void setColor(const QColor& color);
    const QColor& color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_diameter;
    QColor m_color;
};

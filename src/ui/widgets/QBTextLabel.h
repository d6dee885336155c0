#pragma once

#include <QWidget>

// One line of plain text in a theme font and colour, elided at the trailing edge when the layout gives it
// less room than it needs (a label never widens a fixed column).
class QBTextLabel final : public QWidget {
    Q_OBJECT
public:
    QBTextLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return m_text; }
    void setColor(const QColor& color);
    const QColor& color() const { return m_color; }
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QColor m_color;
};

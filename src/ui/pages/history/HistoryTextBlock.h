#pragma once

#include <QTextLayout>
#include <QWidget>
#include <memory>

// Plain text wrapped to the widget's width with extra room between lines, selectable with the mouse and
// copied with the usual keys. Its height for a width is a pure function of the text, so a list can measure
// records it has not built.
class HistoryTextBlock final : public QWidget {
    Q_OBJECT
public:
    HistoryTextBlock(const QFont& font, const QColor& color, qreal lineSpacing, QWidget* parent = nullptr);
    ~HistoryTextBlock() override;

    // Clears the selection.
    void setText(const QString& text);
    const QString& text() const { return m_text; }
    QString selectedText() const;
    void selectAll();

    static qreal heightFor(const QString& text, const QFont& font, qreal lineSpacing, qreal width);

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void relayout();
    int positionAt(const QPointF& point) const;
    void select(int anchor, int cursor);

    QString m_text;
    QColor m_color;
    qreal m_lineSpacing;
    std::unique_ptr<QTextLayout> m_layout;
    int m_anchor = 0;
    int m_cursor = 0;
    bool m_selecting = false;
};

#pragma once

#include <QList>
#include <QWidget>

// A row of pills that wraps onto further lines when the width runs out, so a narrow window never has to
// widen the page to fit every category.
class PillFlow final : public QWidget {
    Q_OBJECT
public:
    PillFlow(qreal spacing, QWidget* parent = nullptr);

    // Takes the widget as a child, after the others.
    void addWidget(QWidget* widget);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void relayout();
    // Places the shown widgets in lines of `width` (or only measures); returns the height used.
    int arrange(int width, bool place) const;

    int m_spacing;
    QList<QWidget*> m_items;
};

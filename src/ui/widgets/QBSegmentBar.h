#pragma once

#include "ui/widgets/QBPaint.h"

#include <QAbstractButton>
#include <QList>
#include <functional>

class QHBoxLayout;

// A row of equal-width segments in a sand well. The bar draws what its items say; a click only runs the
// item's action (the caller's state decides what is selected, and several may be).
class QBSegmentBar final : public QWidget {
    Q_OBJECT
public:
    struct Item {
        QString title;
        bool isSelected = false;
        std::function<void()> action;
        QString objectName; // for tests and accessibility; "segment<index>" when empty
    };

    explicit QBSegmentBar(QWidget* parent = nullptr);

    // Rebuilds the segments only when the titles change; a change of selection repaints them.
    void setItems(QList<Item> items);
    const QList<Item>& items() const { return m_items; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<Item> m_items;
    QList<QAbstractButton*> m_segments;
    QHBoxLayout* m_layout;
    QBPaint::ShadowCache m_lift;
};

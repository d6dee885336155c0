#include "ui/pages/dictionary/PillFlow.h"

#include <QEvent>
#include <algorithm>

PillFlow::PillFlow(qreal spacing, QWidget* parent) : QWidget(parent), m_spacing(int(spacing))
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void PillFlow::addWidget(QWidget* widget)
{
    widget->setParent(this);
    // A pill shown or hidden later changes the lines.
    widget->installEventFilter(this);
    m_items.append(widget);
    updateGeometry();
}

int PillFlow::arrange(int width, bool place) const
{
    int x = 0;
    int y = 0;
    int lineHeight = 0;
    for (QWidget* item : m_items) {
        if (item->isHidden())
            continue;
        const QSize size = item->sizeHint();
        if (x > 0 && x + size.width() > width) {
            x = 0;
            y += lineHeight + m_spacing;
            lineHeight = 0;
        }
        if (place)
            item->setGeometry(x, y, size.width(), size.height());
        x += size.width() + m_spacing;
        lineHeight = std::max(lineHeight, size.height());
    }
    return y + lineHeight;
}

int PillFlow::heightForWidth(int width) const
{
    return arrange(width, false);
}

QSize PillFlow::sizeHint() const
{
    int width = 0;
    for (QWidget* item : m_items) {
        if (!item->isHidden())
            width += item->sizeHint().width() + (width > 0 ? m_spacing : 0);
    }
    return QSize(width, arrange(width, false));
}

QSize PillFlow::minimumSizeHint() const
{
    int width = 0;
    for (QWidget* item : m_items) {
        if (!item->isHidden())
            width = std::max(width, item->sizeHint().width());
    }
    return QSize(width, arrange(width, false));
}

void PillFlow::relayout()
{
    arrange(width(), true);
    updateGeometry();
}

bool PillFlow::event(QEvent* event)
{
    // A pill whose text changed asks its parent for a new layout.
    if (event->type() == QEvent::LayoutRequest)
        relayout();
    return QWidget::event(event);
}

bool PillFlow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)
        relayout();
    return QWidget::eventFilter(watched, event);
}

void PillFlow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    arrange(width(), true);
}

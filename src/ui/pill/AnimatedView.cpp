#include "ui/pill/AnimatedView.h"

AnimatedView::AnimatedView(Scheduler& scheduler, QWidget* parent) : QWidget(parent), m_scheduler(scheduler) {}

void AnimatedView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_frameTimer.isActive())
        return;
    m_frameTimer =
        ScheduledWork(&m_scheduler, m_scheduler.scheduleRepeating(kFrameInterval, [this] { tick(); }));
    tick(); // the first frame is drawn with fresh values, not the ones of the last appearance
}

void AnimatedView::hideEvent(QHideEvent* event)
{
    m_frameTimer.cancel();
    QWidget::hideEvent(event);
}

void AnimatedView::tick()
{
    advanceFrame(m_scheduler.currentDate().secondsSinceReferenceDate);
}

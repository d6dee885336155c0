#pragma once

#include "util/Scheduler.h"

#include <QWidget>

// A view redrawn on every display frame while it is visible, and not at all otherwise: the frame timer runs
// from show to hide, so a hidden pill samples nothing and costs nothing.
class AnimatedView : public QWidget {
    Q_OBJECT

public:
    static constexpr Duration kFrameInterval = std::chrono::milliseconds(16);

    explicit AnimatedView(Scheduler& scheduler, QWidget* parent = nullptr);

    bool isAnimating() const { return m_frameTimer.isActive(); }

protected:
    // One frame: sample what it shows and schedule a repaint. `time` is in seconds since the reference date.
    virtual void advanceFrame(double time) = 0;

    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tick();

    Scheduler& m_scheduler;
    ScheduledWork m_frameTimer;
};

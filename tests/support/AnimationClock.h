#pragma once

#include <QAnimationDriver>
#include <chrono>

// Qt's animations on the test's own clock. While one exists, every animation of the thread moves only when
// the test advances it, never by the wall clock: the frame a test steps to, or sets by hand, is the frame it
// measures, however late a busy machine delivers its events. One at a time, for a test's lifetime.
class AnimationClock final : public QAnimationDriver {
public:
    AnimationClock();
    ~AnimationClock() override;
    AnimationClock(const AnimationClock&) = delete;
    AnimationClock& operator=(const AnimationClock&) = delete;

    // One frame of the display, `by` after the last: every running animation moves on by `by` and shows
    // its new value. An animation started since the event loop last turned joins at its next turn, as on
    // screen.
    void advance(std::chrono::milliseconds by);
    qint64 elapsed() const override { return m_elapsed; }

protected:
    void start() override;

private:
    void advance() override { advance(std::chrono::milliseconds::zero()); }

    qint64 m_elapsed = 0;
};

#include "support/AnimationClock.h"

AnimationClock::AnimationClock()
{
    install();
}

AnimationClock::~AnimationClock()
{
    // Animations still running go on with the wall clock.
    uninstall();
}

void AnimationClock::start()
{
    // Qt counts an animation's time from the moment its clock starts.
    m_elapsed = 0;
    QAnimationDriver::start();
}

void AnimationClock::advance(std::chrono::milliseconds by)
{
    m_elapsed += by.count();
    advanceAnimation();
}

#include "model/AudioLevelBus.h"

#include <algorithm>
#include <cmath>

void AudioLevelBus::push(float level)
{
    const float clamped = std::isnan(level) ? 1.0f : std::clamp(level, kFloor, 1.0f);
    std::lock_guard lock(m_lock);
    m_rawTarget = clamped;
}

void AudioLevelBus::pushRecognizedCount(int count)
{
    std::lock_guard lock(m_lock);
    m_targetSymbolCount = std::max(count, 0);
}

void AudioLevelBus::reset()
{
    std::lock_guard lock(m_lock);
    m_rawTarget = kFloor;
    m_displayEnvelope = kFloor;
    m_targetSymbolCount = 0;
    m_displaySymbolProgress = 0;
}

float AudioLevelBus::sampleBallisticEnvelope()
{
    std::lock_guard lock(m_lock);
    // Rises fast and falls slowly, like a meter's ballistics.
    const float k = m_displayEnvelope < m_rawTarget ? kAttack : kRelease;
    m_displayEnvelope += (m_rawTarget - m_displayEnvelope) * k;
    return m_displayEnvelope;
}

AudioLevelBus::SymbolProgress AudioLevelBus::sampleRecognizedSymbolProgress()
{
    std::lock_guard lock(m_lock);
    const double target = m_targetSymbolCount;
    double& p = m_displaySymbolProgress;
    if (p < target)
        p = std::min(p + std::max((target - p) * kRiseFraction, kMinimumRise), target);
    else if (p > target)
        p += (target - p) * kFallFraction;
    return {p, m_targetSymbolCount};
}

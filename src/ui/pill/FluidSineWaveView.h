#pragma once

#include "model/AudioLevelBus.h"
#include "ui/pill/AnimatedView.h"

#include <QColor>
#include <QPainterPath>

// Three sine waves whose height follows the microphone level, pinned to the middle line at both ends.
class FluidSineWaveView final : public AnimatedView {
    Q_OBJECT

public:
    FluidSineWaveView(QColor accent, QSize size, Scheduler& scheduler, AudioLevelBus& bus,
                      QWidget* parent = nullptr);

    QColor accent() const { return m_accent; }
    void setAccent(QColor accent);
    // The smoothed level of the last frame.
    float level() const { return m_level; }

    // Layer k (0 front, 2 back) on a canvas of `canvas` size at `time` seconds with microphone level `level`.
    static QPainterPath wavePath(int layer, QSizeF canvas, double time, float level);

protected:
    void advanceFrame(double time) override;
    void paintEvent(QPaintEvent* event) override;

private:
    AudioLevelBus& m_bus;
    QColor m_accent;
    double m_time = 0;
    float m_level = 0.05f;
};

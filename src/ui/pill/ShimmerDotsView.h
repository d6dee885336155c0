#pragma once

#include "ui/pill/AnimatedView.h"

// Three indigo dots pulsing in turn while the text is being polished.
class ShimmerDotsView final : public AnimatedView {
    Q_OBJECT

public:
    explicit ShimmerDotsView(Scheduler& scheduler, QWidget* parent = nullptr);

    QSize sizeHint() const override;

    // Brightness of dot i (0 to 1) at `time` seconds: the light travels from the first dot to the last.
    static double brightness(int dot, double time);

protected:
    void advanceFrame(double time) override;
    void paintEvent(QPaintEvent* event) override;

private:
    double m_time = 0;
};

#pragma once

#include "model/AudioLevelBus.h"
#include "ui/pill/AnimatedView.h"

#include <QColor>
#include <QFont>

// A stream of small glyphs, one per recognised character, with a counter: the newest glyph swells as the
// smoothed count moves toward the next whole number; at most the twelve newest are shown. Before any text,
// three resting dots breathe in its place.
class MicroSymbolStreamView final : public AnimatedView {
    Q_OBJECT

public:
    static constexpr int kMaxGlyphs = 12;
    static constexpr int kHeight = 13;

    // What one frame shows for a smoothed count.
    struct Frame {
        int count = 0;       // whole symbols so far; the counter's number
        double fraction = 0; // how far the count is toward the next one
        int firstIndex = 0;  // absolute index of the leftmost glyph shown
        int glyphCount = 0;  // glyphs shown, at most kMaxGlyphs
        double newestScale() const;
        bool operator==(const Frame&) const = default;
    };
    static Frame frameFor(double progress);
    // The glyph at an absolute index: the cycle "•", "·", "✦", "•", "▪", "·" repeated.
    static QString glyph(int absoluteIndex);

    MicroSymbolStreamView(QColor accent, Scheduler& scheduler, AudioLevelBus& bus, QWidget* parent = nullptr);

    QColor accent() const { return m_accent; }
    void setAccent(QColor accent);
    const Frame& frame() const { return m_frame; }
    QString counterText() const;
    // The glyph at an absolute index is drawn in this font; the counter in counterFont().
    QFont glyphFont(int absoluteIndex) const;
    QFont counterFont() const { return m_counterFont; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void advanceFrame(double time) override;
    void paintEvent(QPaintEvent* event) override;

private:
    qreal glyphWidth(int absoluteIndex) const;
    QSizeF counterSize() const;
    void paintRestingDots(QPainter& painter) const;
    void paintGlyphs(QPainter& painter) const;

    AudioLevelBus& m_bus;
    QColor m_accent;
    QFont m_glyphFont;
    QFont m_starFont;
    QFont m_counterFont;
    double m_time = 0;
    Frame m_frame;
};

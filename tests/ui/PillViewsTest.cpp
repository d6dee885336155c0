#include "ui/pill/FloatingPillView.h"
#include "ui/pill/FluidSineWaveView.h"
#include "ui/pill/MicroSymbolStreamView.h"
#include "ui/pill/PillParts.h"
#include "ui/pill/ShimmerDotsView.h"
#include "ui/theme/BrandColors.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/RuzoraMarkView.h"

#include "support/VirtualScheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kClipboardNotice = QStringLiteral("已暂存剪贴板 · Ctrl+V 粘贴");

class PillViewTest : public ::testing::Test {
protected:
    PillViewTest() : view(scheduler, bus)
    {
        bus.reset();
        view.resize(224, 58);
        view.show();
    }

    template <typename T> QList<T*> visible()
    {
        QList<T*> shown;
        for (T* child : view.findChildren<T*>())
            if (child->isVisible())
                shown.append(child);
        return shown;
    }

    VirtualScheduler scheduler;
    AudioLevelBus bus;
    FloatingPillView view;
};

PipelinePhase dictating()
{
    return PipelinePhase::listening({}, DictationMode::dictate);
}
PipelinePhase rewriting()
{
    return PipelinePhase::listening({}, DictationMode::rewriteSelection);
}

// The pill over a desktop-like backdrop, three times enlarged, for a person to look at.
QImage renderForReview(FloatingPillView& view, QImage* transparent)
{
    constexpr qreal kScale = 3;
    QImage raw(view.size() * kScale, QImage::Format_ARGB32_Premultiplied);
    raw.setDevicePixelRatio(kScale);
    raw.fill(Qt::transparent);
    view.render(&raw, QPoint(), QRegion(), QWidget::DrawChildren);
    *transparent = raw;

    QImage shot(raw.size(), QImage::Format_ARGB32_Premultiplied);
    shot.setDevicePixelRatio(kScale);
    QPainter painter(&shot);
    QLinearGradient backdrop(0, 0, view.width(), view.height());
    backdrop.setColorAt(0, QColor(0x3b, 0x5b, 0x8a));
    backdrop.setColorAt(1, QColor(0xd8, 0xc8, 0xb0));
    painter.fillRect(QRectF(0, 0, view.width(), view.height()), backdrop);
    painter.drawImage(QPointF(0, 0), raw);
    return shot;
}

} // namespace

TEST_F(PillViewTest, EachPhaseShowsItsPartsAndIsDrawnForReview)
{
    const QString folder = QStringLiteral(QB_UI_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    using S = PillSymbolView::Symbol;
    using P = PipelinePhase;
    const QString errorMessage = QStringLiteral("麦克风不可用"); // not shown: the row has no label
    const struct {
        const char* shot;
        PipelinePhase phase;
        bool liveTyping;
        int streams, waves, dots, labels;
        std::optional<S> symbol;
        QColor accent; // of the stream and the wave
        bool heard = true;
    } cases[] = {
        {"listening-full", dictating(), false, 1, 1, 0, 0, {}, BrandColors::indigo()},
        {"listening-full-empty", dictating(), false, 1, 1, 0, 0, {}, BrandColors::indigo(), false},
        {"listening-compact", dictating(), true, 0, 1, 0, 0, {}, BrandColors::indigo()},
        {"listening-rewrite", rewriting(), false, 0, 1, 0, 0, {}, BrandColors::violet()},
        {"polishing", P::polishing(QStringLiteral("raw")), false, 0, 0, 1, 0, {}, {}},
        {"completed", P::completed(QStringLiteral("final"), 420), false, 0, 0, 0, 0, S::checkmarkCircle, {}},
        {"saved-to-clipboard", P::savedToClipboard(kClipboardNotice), false, 0, 0, 0, 1, S::clipboard, {}},
        {"error", P::error(errorMessage), false, 0, 0, 0, 0, S::warningTriangle, {}},
        {nullptr, P::idle(), false, 0, 0, 0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shot ? c.shot : "idle");
        bus.reset();
        view.setContent(PipelinePhase::idle(), false);
        view.setContent(c.phase, c.liveTyping);
        const auto streams = visible<MicroSymbolStreamView>();
        const auto waves = visible<FluidSineWaveView>();
        const auto symbols = visible<PillSymbolView>();
        ASSERT_EQ(streams.size(), c.streams);
        ASSERT_EQ(waves.size(), c.waves);
        ASSERT_EQ(symbols.size(), c.symbol ? 1 : 0);
        EXPECT_EQ(visible<ShimmerDotsView>().size(), c.dots);
        EXPECT_EQ(visible<PillTextLabel>().size(), c.labels);
        for (const auto* stream : streams)
            EXPECT_EQ(stream->accent(), c.accent);
        for (const auto* wave : waves)
            EXPECT_EQ(wave->accent(), c.accent);
        if (c.symbol) {
            EXPECT_EQ(symbols[0]->symbol(), *c.symbol);
        }
        if (!c.shot) {
            EXPECT_TRUE(view.shapeRegion().isEmpty());
            continue;
        }
        EXPECT_NEAR(view.capsuleGeometry().center().x(), 112, 1) << "centred in the panel";

        if (c.heard) {
            bus.push(0.7f);
            bus.pushRecognizedCount(17);
        }
        scheduler.advance(16ms * 30);
        QCoreApplication::sendPostedEvents();
        if (!c.heard) {
            EXPECT_EQ(streams[0]->frame().count, 0) << "nothing heard: resting dots, no counter";
        }
        QImage transparent;
        const QImage image = renderForReview(view, &transparent);
        EXPECT_TRUE(image.save(folder + QLatin1Char('/') + QLatin1String(c.shot) + QStringLiteral(".png")));
        // The pill is drawn in the middle; the panel's corners stay clear.
        EXPECT_GT(qAlpha(transparent.pixel(view.capsuleGeometry().center() * 3)), 200);
        EXPECT_EQ(qAlpha(transparent.pixel(1, 1)), 0);
        EXPECT_EQ(qAlpha(transparent.pixel(transparent.width() - 2, transparent.height() - 2)), 0);
        EXPECT_TRUE(view.shapeRegion().contains(view.capsuleGeometry().center()));
    }
}

TEST_F(PillViewTest, ClipboardPreviewStaysOnOneLineInsideThePill)
{
    view.setContent(PipelinePhase::savedToClipboard(kClipboardNotice), false);
    const PillTextLabel* label = visible<PillTextLabel>().at(0);
    EXPECT_EQ(label->displayedText(), kClipboardNotice);
    EXPECT_EQ(label->geometry().center().y(), visible<PillSymbolView>().at(0)->geometry().center().y());

    view.setContent(PipelinePhase::savedToClipboard(QStringLiteral("第一行很长很长的文字\n第二行 ") +
                                                    QString(80, QLatin1Char('x'))),
                    false);
    const QString shown = visible<PillTextLabel>().at(0)->displayedText();
    EXPECT_FALSE(shown.contains(QLatin1Char('\n')));
    EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
    EXPECT_LE(view.capsuleGeometry().width(), 224);
    EXPECT_GE(view.capsuleGeometry().left(), 0);
}

TEST(MicroSymbolStream, FramesOfPartialProgress)
{
    const auto partial = MicroSymbolStreamView::frameFor(5.5);
    EXPECT_EQ(partial.count, 5);
    EXPECT_EQ(partial.glyphCount, 5);
    EXPECT_EQ(partial.firstIndex, 0);
    EXPECT_NEAR(partial.newestScale(), 1.05, 1e-12) << "the newest glyph swells halfway to the next";
    EXPECT_EQ(MicroSymbolStreamView::frameFor(0.4).count, 0);
}

TEST(MicroSymbolStream, GlyphSizesStayFractional)
{
    VirtualScheduler scheduler;
    AudioLevelBus bus;
    const MicroSymbolStreamView stream(BrandColors::indigo(), scheduler, bus);
    const auto themeFont = [](qreal points) {
        return QBTheme::font(points, QFont::Bold, QBTheme::FontDesign::monospaced);
    };
    // 10.5 for the dots and squares, 8.5 for the star, 9.5 for the counter: none rounded to whole pixels.
    EXPECT_EQ(stream.glyphFont(0), themeFont(10.5));
    EXPECT_EQ(stream.glyphFont(2), themeFont(8.5)) << "the star";
    EXPECT_EQ(stream.glyphFont(8), themeFont(8.5)) << "the star, one cycle on";
    EXPECT_EQ(stream.glyphFont(4), themeFont(10.5));
    EXPECT_EQ(stream.counterFont(), themeFont(9.5));
    EXPECT_NE(stream.glyphFont(0).pointSizeF(), themeFont(11).pointSizeF());
}

TEST_F(PillViewTest, StreamCountsUpToTheRecognisedCharacters)
{
    view.setContent(dictating(), false);
    auto* stream = visible<MicroSymbolStreamView>().at(0);
    const int restingWidth = stream->width();

    bus.pushRecognizedCount(20);
    scheduler.advance(16ms);
    EXPECT_GT(stream->frame().count, 0);
    EXPECT_LT(stream->frame().count, 20) << "the count is smoothed";
    scheduler.advance(16ms * 40);
    QCoreApplication::sendPostedEvents(); // the event loop's turn: the pill lays itself out again
    EXPECT_EQ(stream->frame().count, 20);
    EXPECT_EQ(stream->frame().firstIndex, 8) << "the twelve newest glyphs";
    EXPECT_EQ(stream->counterText(), QStringLiteral("20"));
    EXPECT_GT(stream->width(), restingWidth) << "the pill grows with the stream";
    EXPECT_NEAR(view.capsuleGeometry().center().x(), 112, 1) << "and stays centred";
}

TEST(RuzoraMark, ScreenshotForReview)
{
    RuzoraMarkView mark(24);
    QImage image(QSize(24, 24) * 4, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(4);
    image.fill(Qt::white);
    mark.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(QB_UI_SCREENSHOT_DIR)));
    EXPECT_TRUE(image.save(QStringLiteral(QB_UI_SCREENSHOT_DIR "/mark-24.png")));
    // Stroked, not filled: the loops are hollow, the crossing in the middle is drawn.
    EXPECT_EQ(image.pixel(QPoint(12 * 4 - 18, 12 * 4 + 2)), qRgb(255, 255, 255));
    EXPECT_NE(image.pixel(QPoint(12 * 4, int(0.52 * 24 * 4))), qRgb(255, 255, 255));
}

TEST(FluidSineWave, WavesArePinnedAtBothEndsAndFollowTheLevel)
{
    const QSizeF canvas(62, 16);
    const double time = 757382400.123;
    for (int layer = 0; layer < 3; ++layer) {
        const QPainterPath quiet = FluidSineWaveView::wavePath(layer, canvas, time, 0.05f);
        ASSERT_EQ(quiet.elementCount(), 32) << "a point every 2 from 0 to 62";
        EXPECT_DOUBLE_EQ(quiet.elementAt(0).y, 8.0);
        EXPECT_NEAR(quiet.elementAt(quiet.elementCount() - 1).y, 8.0, 1e-6);
        const QRectF quietBounds = quiet.boundingRect();
        EXPECT_LE(quietBounds.height(), 2 * 1.5 + 1e-9)
            << "a silent microphone leaves a ripple of 1.5 at most";
        EXPECT_GT(quietBounds.height(), 0.1);

        const QRectF loud = FluidSineWaveView::wavePath(layer, canvas, time, 1.0f).boundingRect();
        EXPECT_GT(loud.height(), quietBounds.height());
        EXPECT_LE(loud.height(), 2 * 16 * 0.47 + 1e-9);
    }
    EXPECT_EQ(FluidSineWaveView::wavePath(0, QSizeF(0, 16), time, 1.0f).elementCount(), 0);
}

#include "ui/pill/FloatingPillView.h"
#include "ui/pill/FluidSineWaveView.h"
#include "ui/pill/MicroSymbolStreamView.h"
#include "ui/pill/PillParts.h"
#include "ui/pill/ShimmerDotsView.h"
#include "ui/theme/BrandColors.h"
#include "ui/widgets/RuzoraMarkView.h"

#include "support/VirtualScheduler.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Layout = FloatingPillView::Layout;

namespace {

const QString kClipboardNotice = QStringLiteral("已暂存剪贴板 · Cmd+V 粘贴");

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

} // namespace

TEST(PillLayout, EachPhaseHasItsLayout)
{
    EXPECT_EQ(FloatingPillView::layoutFor(dictating(), false), Layout::listeningFull);
    EXPECT_EQ(FloatingPillView::layoutFor(dictating(), true), Layout::listeningCompact);
    EXPECT_EQ(FloatingPillView::layoutFor(rewriting(), false), Layout::listeningCompact);
    EXPECT_EQ(FloatingPillView::layoutFor(PipelinePhase::polishing({}), false), Layout::polishing);
    EXPECT_EQ(FloatingPillView::layoutFor(PipelinePhase::completed({}, 0), true), Layout::completed);
    EXPECT_EQ(FloatingPillView::layoutFor(PipelinePhase::savedToClipboard({}), false),
              Layout::savedToClipboard);
    EXPECT_EQ(FloatingPillView::layoutFor(PipelinePhase::error({}), false), Layout::error);
    EXPECT_EQ(FloatingPillView::layoutFor(PipelinePhase::idle(), false), Layout::none);

    EXPECT_EQ(FloatingPillView::accentFor(rewriting()), BrandColors::violet());
    EXPECT_EQ(FloatingPillView::accentFor(dictating()), BrandColors::indigo());
}

TEST_F(PillViewTest, ListeningShowsTheFullPillWithRestingDots)
{
    view.setContent(dictating(), false);
    const QRect pill = view.capsuleGeometry();
    EXPECT_EQ(pill.height(), 13 + 4 + 14 + 13) << "stream, gap, wave row and padding";
    EXPECT_NEAR(pill.center().x(), 112, 1);
    EXPECT_NEAR(pill.center().y(), 29, 1);

    const auto streams = visible<MicroSymbolStreamView>();
    ASSERT_EQ(streams.size(), 1);
    EXPECT_EQ(streams[0]->frame().count, 0) << "no text yet: three resting dots, no counter";
    EXPECT_EQ(streams[0]->accent(), BrandColors::indigo());
    const auto waves = visible<FluidSineWaveView>();
    ASSERT_EQ(waves.size(), 1);
    EXPECT_EQ(waves[0]->size(), QSize(86, 14));
    EXPECT_EQ(waves[0]->accent(), BrandColors::indigo());
}

TEST_F(PillViewTest, LiveTypingAndRewritingGetTheSlimCapsule)
{
    view.setContent(dictating(), true);
    EXPECT_EQ(view.capsuleGeometry().height(), 31);
    EXPECT_TRUE(visible<MicroSymbolStreamView>().isEmpty());
    ASSERT_EQ(visible<FluidSineWaveView>().size(), 1);
    EXPECT_EQ(visible<FluidSineWaveView>()[0]->size(), QSize(62, 16));
    EXPECT_EQ(visible<FluidSineWaveView>()[0]->accent(), BrandColors::indigo());

    view.setContent(rewriting(), false);
    EXPECT_EQ(view.capsuleGeometry().height(), 31);
    EXPECT_EQ(visible<FluidSineWaveView>()[0]->accent(), BrandColors::violet());
}

TEST_F(PillViewTest, ClosingPhasesShowTheirSymbolAndNoMessage)
{
    view.setContent(PipelinePhase::polishing(QStringLiteral("raw text")), false);
    EXPECT_EQ(view.capsuleGeometry().height(), 29);
    EXPECT_EQ(visible<ShimmerDotsView>().size(), 1);

    view.setContent(PipelinePhase::completed(QStringLiteral("final"), 420), false);
    EXPECT_EQ(view.capsuleGeometry().height(), 26);
    ASSERT_EQ(visible<PillSymbolView>().size(), 1);
    EXPECT_EQ(visible<PillSymbolView>()[0]->symbol(), PillSymbolView::Symbol::checkmarkCircle);

    view.setContent(PipelinePhase::error(QStringLiteral("麦克风不可用")), false);
    EXPECT_EQ(view.capsuleGeometry().height(), 28);
    ASSERT_EQ(visible<PillSymbolView>().size(), 1);
    EXPECT_EQ(visible<PillSymbolView>()[0]->symbol(), PillSymbolView::Symbol::warningTriangle);
    EXPECT_EQ(visible<PillSymbolView>()[0]->colour(), BrandColors::orange());
    EXPECT_TRUE(visible<PillTextLabel>().isEmpty()) << "the error message is not shown";

    view.setContent(PipelinePhase::idle(), false);
    EXPECT_EQ(view.layout(), Layout::none);
    EXPECT_TRUE(view.capsuleGeometry().isNull());
    EXPECT_TRUE(view.shapeRegion().isEmpty());
}

TEST_F(PillViewTest, ClipboardPreviewStaysOnOneLineInsideThePill)
{
    view.setContent(PipelinePhase::savedToClipboard(kClipboardNotice), false);
    EXPECT_EQ(view.capsuleGeometry().height(), 28);
    const auto labels = visible<PillTextLabel>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->displayedText(), kClipboardNotice);
    ASSERT_EQ(visible<PillSymbolView>().size(), 1);
    EXPECT_EQ(visible<PillSymbolView>()[0]->symbol(), PillSymbolView::Symbol::clipboard);
    EXPECT_EQ(labels[0]->geometry().center().y(), visible<PillSymbolView>()[0]->geometry().center().y());

    const QString longPreview =
        QStringLiteral("第一行很长很长的文字\n第二行 ") + QString(80, QLatin1Char('x'));
    view.setContent(PipelinePhase::savedToClipboard(longPreview), false);
    const QString shown = visible<PillTextLabel>()[0]->displayedText();
    EXPECT_FALSE(shown.contains(QLatin1Char('\n')));
    EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
    EXPECT_LE(view.capsuleGeometry().width(), 224);
    EXPECT_GE(view.capsuleGeometry().left(), 0);
}

TEST(MicroSymbolStream, ShowsTheTwelveNewestGlyphs)
{
    const auto frame = MicroSymbolStreamView::frameFor(20.0);
    EXPECT_EQ(frame.count, 20);
    EXPECT_EQ(frame.glyphCount, 12);
    EXPECT_EQ(frame.firstIndex, 8) << "absolute indices 8 to 19";
    const QStringList expected = {QStringLiteral("✦"), QStringLiteral("•"), QStringLiteral("▪"),
                                  QStringLiteral("·"), QStringLiteral("•"), QStringLiteral("·")};
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ(MicroSymbolStreamView::glyph(frame.firstIndex + j), expected[j]) << "glyph " << j;

    const auto partial = MicroSymbolStreamView::frameFor(5.5);
    EXPECT_EQ(partial.count, 5);
    EXPECT_EQ(partial.glyphCount, 5);
    EXPECT_EQ(partial.firstIndex, 0);
    EXPECT_NEAR(partial.newestScale(), 1.05, 1e-12) << "the newest glyph swells halfway to the next";
    EXPECT_EQ(MicroSymbolStreamView::frameFor(0.4).count, 0);
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
    EXPECT_EQ(stream->frame().firstIndex, 8);
    EXPECT_EQ(stream->counterText(), QStringLiteral("20"));
    EXPECT_GT(stream->width(), restingWidth) << "the pill grows with the stream";
    EXPECT_NEAR(view.capsuleGeometry().center().x(), 112, 1) << "and stays centred";
}

TEST(RuzoraMark, StrokeGrowsWithTheMarkAboveAMinimum)
{
    EXPECT_DOUBLE_EQ(RuzoraMarkView::lineWidth(10), 2.2);
    EXPECT_DOUBLE_EQ(RuzoraMarkView::lineWidth(24), 3.48);

    const QRectF bounds = RuzoraMarkView::markPath(QSizeF(24, 24)).boundingRect();
    EXPECT_NEAR(bounds.left(), 0.12 * 24, 1e-9);
    EXPECT_NEAR(bounds.right(), 0.88 * 24, 1e-9);
    EXPECT_NEAR(bounds.center().y(), 0.52 * 24, 0.01) << "a figure eight, symmetric about its centre line";
    EXPECT_EQ(RuzoraMarkView(16).size(), QSize(16, 16));
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

namespace {

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

TEST_F(PillViewTest, ScreenshotsOfEveryPhase)
{
    const QString folder = QStringLiteral(QB_UI_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    const struct {
        const char* name;
        PipelinePhase phase;
        bool liveTyping;
    } shots[] = {
        {"listening-full", dictating(), false},
        {"listening-full-empty", dictating(), false},
        {"listening-compact", dictating(), true},
        {"listening-rewrite", rewriting(), false},
        {"polishing", PipelinePhase::polishing(QStringLiteral("raw")), false},
        {"completed", PipelinePhase::completed(QStringLiteral("final"), 300), false},
        {"saved-to-clipboard", PipelinePhase::savedToClipboard(kClipboardNotice), false},
        {"error", PipelinePhase::error(QStringLiteral("message")), false},
    };
    for (const auto& shot : shots) {
        bus.reset();
        view.setContent(PipelinePhase::idle(), false);
        view.setContent(shot.phase, shot.liveTyping);
        if (QByteArray(shot.name) != "listening-full-empty") {
            bus.push(0.7f);
            bus.pushRecognizedCount(17);
        }
        scheduler.advance(16ms * 30);
        QCoreApplication::sendPostedEvents();

        QImage transparent;
        const QImage image = renderForReview(view, &transparent);
        const QString path = folder + QLatin1Char('/') + QLatin1String(shot.name) + QStringLiteral(".png");
        EXPECT_TRUE(image.save(path)) << path.toStdString();

        // The pill is drawn in the middle; the panel's corners stay clear.
        const QPoint middle = view.capsuleGeometry().center() * 3;
        EXPECT_GT(qAlpha(transparent.pixel(middle)), 200) << shot.name;
        EXPECT_EQ(qAlpha(transparent.pixel(1, 1)), 0) << shot.name;
        EXPECT_EQ(qAlpha(transparent.pixel(transparent.width() - 2, transparent.height() - 2)), 0)
            << shot.name;
        EXPECT_TRUE(view.shapeRegion().contains(view.capsuleGeometry().center())) << shot.name;
    }
}

#include "ui/pill/FloatingPillController.h"

#include "core/AppStateHarness.h"
#include "fakes/FakeCompositorWatch.h"
#include "support/VirtualScheduler.h"
#include "ui/pill/FloatingPillView.h"
#include "ui/pill/FluidSineWaveView.h"
#include "ui/pill/ShimmerDotsView.h"

#include <QLineF>
#include <QObject>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <utility>

using namespace std::chrono_literals;

namespace {

// The visible area of a 1280 x 800 screen: the default origin is (640 - 112, 800 - 22 - 58).
const QRectF kScreenArea(0, 0, 1280, 800);
const QPointF kDefaultOrigin(528, 720);

// Answers caret polls from the poll queue with what the test sets; can hold a poll until released.
class ScriptedCaret {
public:
    std::optional<QPointF> operator()(QSizeF)
    {
        ++polls;
        std::unique_lock lock(m_mutex);
        if (!m_holdNext)
            return m_answer;
        const QPointF held = *std::exchange(m_holdNext, std::nullopt);
        m_held = true;
        m_wake.notify_all();
        m_wake.wait(lock, [this] { return !m_held; });
        return held;
    }

    void answer(std::optional<QPointF> origin)
    {
        std::lock_guard lock(m_mutex);
        m_answer = origin;
    }
    // The next poll blocks until release() and then answers `origin`.
    void holdNext(QPointF origin)
    {
        std::lock_guard lock(m_mutex);
        m_holdNext = origin;
    }
    void waitUntilHeld()
    {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_held; });
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_held = false;
        m_wake.notify_all();
    }

    std::atomic<int> polls = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<QPointF> m_answer;
    std::optional<QPointF> m_holdNext;
    bool m_held = false;
};

class PillControllerTest : public ::testing::Test {
protected:
    PillControllerTest()
        : controller(
              scheduler, [this](QSizeF size) { return caret(size); }, bus,
              [] { return std::optional(kScreenArea); })
    {
        bus.reset();
    }

    ~PillControllerTest() override { caret.release(); }

    void show()
    {
        controller.attach(&appState);
        controller.setPhase(PipelinePhase::listening({}, DictationMode::dictate), false);
        controller.setVisible(true);
    }

    // Lets the poll queue answer, then runs the glide for `steps` frames.
    void glide(int steps)
    {
        controller.waitForCaretPolls();
        scheduler.advance(16ms * steps);
    }

    VirtualScheduler scheduler;
    AudioLevelBus bus;
    ScriptedCaret caret;
    QObject appState;
    FloatingPillController controller;
};

} // namespace

TEST_F(PillControllerTest, FirstShowFadesInAtTheDefaultOriginAndPolls)
{
    controller.setVisible(true);
    EXPECT_EQ(controller.panel(), nullptr) << "without an application state nothing is shown";

    show();
    QWidget* panel = controller.panel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->size(), QSize(224, 58));
    const Qt::WindowFlags flags = panel->windowFlags();
    EXPECT_TRUE(flags.testFlags(Qt::WindowDoesNotAcceptFocus | Qt::WindowStaysOnTopHint |
                                Qt::WindowTransparentForInput))
        << "the pill never takes focus or clicks from the window the user dictates into";
    EXPECT_EQ(panel->pos(), kDefaultOrigin.toPoint());
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls.load(), 1) << "the first poll goes out at once";

    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 0.0);
    scheduler.advance(40ms);
    EXPECT_NEAR(panel->windowOpacity(), 0.4, 0.01);
    scheduler.advance(60ms);
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0) << "fully shown after 0.1 s";

    // No caret to be found: it stays at the bottom, polling every 140 ms.
    for (int i = 0; i < 7; ++i) {
        scheduler.advance(i == 0 ? 40ms : 140ms);
        controller.waitForCaretPolls();
    }
    EXPECT_EQ(caret.polls.load(), 8);
    EXPECT_EQ(panel->pos(), kDefaultOrigin.toPoint());
}

TEST_F(PillControllerTest, GlidesTowardTheCaretAndJumpsWhenFar)
{
    caret.answer(kDefaultOrigin + QPointF(100, 0));
    show();
    glide(1);
    EXPECT_NEAR(controller.currentOrigin().x(), kDefaultOrigin.x() + 20, 1e-9) << "20 % of the way";
    glide(1);
    EXPECT_NEAR(controller.currentOrigin().x(), kDefaultOrigin.x() + 36, 1e-9) << "then 16 points more";
    EXPECT_EQ(controller.panel()->pos(), QPoint(564, 720));

    glide(40);
    const QPointF settled = controller.currentOrigin();
    EXPECT_LE(QLineF(settled, QPointF(628, 720)).length(), 0.5);
    EXPECT_NE(settled, QPointF(628, 720)) << "it stops within half a point";
    glide(10);
    EXPECT_EQ(controller.currentOrigin(), settled) << "settled: no further moves";

    // A caret 300 points away (another window) is reached in one step.
    const QPointF far = settled + QPointF(0, -300);
    caret.answer(far);
    scheduler.advance(140ms); // the next poll
    glide(1);
    EXPECT_EQ(controller.currentOrigin(), far);
    EXPECT_EQ(controller.panel()->pos(), far.toPoint());

    // A caret that is lost keeps the pill where it was.
    caret.answer(std::nullopt);
    scheduler.advance(140ms);
    glide(10);
    EXPECT_EQ(controller.currentOrigin(), far);
}

TEST_F(PillControllerTest, APollOfAnOlderShowNeverMovesANewerPill)
{
    const QPointF stale(100, 100);
    const QPointF fresh(600, 700);

    // The poll of the first show is still asking when the pill hides and shows again.
    caret.holdNext(stale);
    show();
    caret.waitUntilHeld();
    controller.setVisible(false);
    show();
    EXPECT_EQ(controller.currentOrigin(), kDefaultOrigin);
    caret.answer(fresh);
    caret.release();
    glide(5);
    EXPECT_EQ(controller.currentOrigin(), kDefaultOrigin) << "the stale answer is dropped";

    // The next poll of this show finds the caret.
    scheduler.advance(140ms);
    glide(1);
    EXPECT_NE(controller.currentOrigin(), kDefaultOrigin);
    EXPECT_LT(QLineF(controller.currentOrigin(), fresh).length(), QLineF(kDefaultOrigin, fresh).length());

    // An answer that arrives while the pill is hidden does not place its next appearance.
    controller.setVisible(false);
    caret.holdNext(stale);
    show();
    caret.waitUntilHeld();
    controller.setVisible(false);
    caret.release();
    controller.waitForCaretPolls();
    caret.answer(std::nullopt);
    show();
    EXPECT_EQ(controller.currentOrigin(), kDefaultOrigin);
    glide(20);
    EXPECT_EQ(controller.currentOrigin(), kDefaultOrigin);
}

TEST_F(PillControllerTest, ShowingTwiceKeepsGoingAndHidingStopsEverything)
{
    show();
    scheduler.advance(40ms);
    const std::size_t running = scheduler.pendingCount();
    // Polls run on their own queue: counted once the ones sent are done.
    controller.waitForCaretPolls();
    const int polls = caret.polls.load();
    controller.setVisible(true);
    EXPECT_NEAR(controller.panel()->windowOpacity(), 0.4, 0.01) << "the fade is not restarted";
    EXPECT_EQ(scheduler.pendingCount(), running) << "no second set of timers";
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls.load(), polls) << "no extra poll";

    bus.push(0.9f);
    bus.pushRecognizedCount(12);
    controller.setVisible(false);
    EXPECT_FALSE(controller.panel()->isVisible());
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "no timer runs while the pill is hidden";
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f) << "hiding resets the level bus";
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().exactTarget, 0);
    controller.setVisible(false);
    controller.waitForCaretPolls();
    const int pollsWhenHidden = caret.polls.load();
    scheduler.advance(2s);
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls.load(), pollsWhenHidden);
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "hiding twice starts nothing";
}

TEST_F(PillControllerTest, OnlyTheShownViewsAnimate)
{
    show();
    FloatingPillView* view = controller.pillView();
    ASSERT_NE(view, nullptr);
    FluidSineWaveView* wave = nullptr;
    for (auto* candidate : view->findChildren<FluidSineWaveView*>())
        if (candidate->isVisible())
            wave = candidate;
    ASSERT_NE(wave, nullptr);
    EXPECT_TRUE(wave->isAnimating());

    bus.push(1.0f);
    scheduler.advance(16ms);
    EXPECT_GT(wave->level(), 0.3f) << "each frame samples the bus";

    controller.setPhase(PipelinePhase::polishing(QStringLiteral("raw")), false);
    EXPECT_FALSE(wave->isAnimating());
    auto* dots = view->findChild<ShimmerDotsView*>();
    ASSERT_NE(dots, nullptr);
    EXPECT_TRUE(dots->isAnimating());

    controller.setVisible(false);
    EXPECT_FALSE(dots->isAnimating());
    bus.push(1.0f);
    controller.setPhase(PipelinePhase::listening({}, DictationMode::dictate), false);
    scheduler.advance(1s);
    EXPECT_FALSE(wave->isAnimating()) << "a hidden pill draws nothing";
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f + 0.95f * 0.38f) << "and samples nothing";
}

TEST(PillControllerScreens, DefaultOriginSitsAboveTheBottomOfTheMainScreen)
{
    VirtualScheduler scheduler;
    AudioLevelBus bus;
    const auto noCaret = [](QSizeF) { return std::optional<QPointF>(); };
    FloatingPillController controller(scheduler, noCaret, bus,
                                      [] { return std::optional(QRectF(1280, 24, 1920, 1056)); });
    EXPECT_EQ(controller.defaultBottomOrigin(), QPointF(1280 + 960 - 112, 24 + 1056 - 22 - 58))
        << "centred on the main screen's visible area, above its bottom panel";
    FloatingPillController noScreen(scheduler, noCaret, bus, [] { return std::optional<QRectF>(); });
    EXPECT_EQ(noScreen.defaultBottomOrigin(), QPointF(0, 0));
}

TEST(PillFollowingTheState, TheListeningLayoutFollowsTheLiveTypingSettingWhileShown)
{
    AppStateHarness h;
    AppState& state = h.start(AppStateHarness::verbatimDictation());
    FloatingPillController pill(
        h.scheduler, [](QSizeF) { return std::optional<QPointF>(); }, h.levelBus,
        [] { return std::optional(kScreenArea); });
    pill.follow(state);

    h.begin();
    ASSERT_TRUE(state.phase().isListening());
    ASSERT_NE(pill.panel(), nullptr);
    EXPECT_TRUE(pill.panel()->isVisible());
    EXPECT_EQ(pill.pillView()->layout(), FloatingPillView::Layout::listeningFull);

    // Switched while the phase is shown: the slim layout at once, and back.
    LLMConfig config = state.llmConfig();
    config.enableLiveInlineTyping = true;
    state.setLLMConfig(config);
    EXPECT_EQ(pill.pillView()->layout(), FloatingPillView::Layout::listeningCompact);
    config.enableLiveInlineTyping = false;
    state.setLLMConfig(config);
    EXPECT_EQ(pill.pillView()->layout(), FloatingPillView::Layout::listeningFull);

    state.cancelDictationSession();
    EXPECT_FALSE(pill.panel()->isVisible());
    pill.waitForCaretPolls();
}

namespace {

// Pixels of the shape whose colour is not fully opaque, in a picture of the pill at `scale`.
int translucentPixelsOfTheShape(FloatingPillController& pill, qreal scale)
{
    FloatingPillView* view = pill.pillView();
    QImage image(view->size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    view->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    int count = 0;
    for (const QRect& rect : view->shapeRegion()) {
        for (int y = int(rect.top() * scale); y < int((rect.bottom() + 1) * scale); ++y)
            for (int x = int(rect.left() * scale); x < int((rect.right() + 1) * scale); ++x)
                count += image.pixelColor(x, y).alpha() < 255 ? 1 : 0;
    }
    return count;
}

} // namespace

TEST(PillWithoutACompositor, TheWindowIsCutToThePillUntilACompositorBlendsIt)
{
    VirtualScheduler scheduler;
    AudioLevelBus bus;
    FakeCompositorWatch compositor; // outlives the pill, which stops it
    QObject appState;
    auto pill = std::make_unique<FloatingPillController>(
        scheduler, [](QSizeF) { return std::optional<QPointF>(); }, bus,
        [] { return std::optional(kScreenArea); });
    pill->followCompositor(compositor);
    ASSERT_TRUE(compositor.isRunning());
    pill->attach(&appState);
    pill->setPhase(PipelinePhase::listening({}, DictationMode::dictate), false);
    pill->setVisible(true);
    QWidget* panel = pill->panel();
    const QRect capsule = pill->pillView()->capsuleGeometry();

    // Until the watch speaks there may be no compositor: only the pill's own pixels, all of them opaque.
    EXPECT_FALSE(pill->isComposited());
    EXPECT_EQ(panel->mask(), pill->pillView()->shapeRegion());
    EXPECT_TRUE(panel->mask().contains(capsule.center()));
    EXPECT_FALSE(panel->mask().contains(capsule.topLeft())) << "a rounded corner is cut away";
    EXPECT_FALSE(panel->mask().contains(QPoint(capsule.center().x(), capsule.top() - 1)));
    for (qreal scale : {1.0, 2.0})
        EXPECT_EQ(translucentPixelsOfTheShape(*pill, scale), 0) << "at scale " << scale;

    // A compositing manager comes: the whole window, its soft edges and translucent backing blended.
    ASSERT_TRUE(compositor.report(true));
    EXPECT_TRUE(pill->isComposited());
    EXPECT_TRUE(panel->mask().isEmpty());
    EXPECT_GT(translucentPixelsOfTheShape(*pill, 1), 0);

    // It goes, while a phase of another shape is shown: cut to that shape.
    pill->setPhase(PipelinePhase::polishing(QString()), false);
    ASSERT_TRUE(compositor.report(false));
    EXPECT_EQ(panel->mask(), pill->pillView()->shapeRegion());
    EXPECT_NE(pill->pillView()->capsuleGeometry(), capsule);
    EXPECT_EQ(translucentPixelsOfTheShape(*pill, 1), 0);

    // Back to idle just before it hides: the window never stands uncut, not for a moment.
    pill->setPhase(PipelinePhase::idle(), false);
    EXPECT_FALSE(panel->mask().isEmpty());
    pill->setVisible(false);
    pill.reset();
    EXPECT_FALSE(compositor.isRunning()) << "no news reaches a pill that is gone";
}

#include "ui/pill/FloatingPillController.h"

#include "support/VirtualScheduler.h"
#include "ui/pill/FloatingPillView.h"
#include "ui/pill/FluidSineWaveView.h"
#include "ui/pill/ShimmerDotsView.h"

#include <QObject>
#include <QWidget>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

using namespace std::chrono_literals;

namespace {

// The visible area of a 1280 x 800 screen: the default origin is (640 - 112, 800 - 22 - 58).
const QRectF kScreenArea(0, 0, 1280, 800);
const QPointF kDefaultOrigin(528, 720);

// Answers caret polls from the poll queue with what the test sets; can hold a poll until released.
class ScriptedCaret {
public:
    std::optional<QPointF> operator()(QSizeF pillSize)
    {
        std::unique_lock lock(m_mutex);
        m_lastPillSize = pillSize;
        ++m_polls;
        if (m_holdNext) {
            m_holdNext = false;
            m_held = true;
            const std::optional<QPointF> answer = m_heldAnswer;
            m_wake.notify_all();
            m_wake.wait(lock, [this] { return !m_held; });
            return answer;
        }
        return m_answer;
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
        m_holdNext = true;
        m_heldAnswer = origin;
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
    int polls()
    {
        std::lock_guard lock(m_mutex);
        return m_polls;
    }
    QSizeF lastPillSize()
    {
        std::lock_guard lock(m_mutex);
        return m_lastPillSize;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<QPointF> m_answer;
    bool m_holdNext = false;
    bool m_held = false;
    QPointF m_heldAnswer;
    QSizeF m_lastPillSize;
    int m_polls = 0;
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

    void show(PipelinePhase phase = PipelinePhase::listening({}, DictationMode::dictate))
    {
        controller.attach(&appState);
        controller.setPhase(phase, false);
        controller.setVisible(true);
    }

    // Lets the poll queue answer, then runs the glide for `steps` frames.
    void glide(int steps)
    {
        controller.waitForCaretPolls();
        scheduler.advance(16ms * steps);
    }

    QPoint panelPosition() const { return controller.panel()->pos(); }

    VirtualScheduler scheduler;
    AudioLevelBus bus;
    ScriptedCaret caret;
    QObject appState;
    FloatingPillController controller;
};

} // namespace

TEST_F(PillControllerTest, FirstShowFadesInAtTheDefaultOrigin)
{
    EXPECT_EQ(controller.panel(), nullptr) << "no panel before the state is bound";
    controller.setVisible(true);
    EXPECT_EQ(controller.panel(), nullptr) << "without an application state nothing is shown";

    show();
    QWidget* panel = controller.panel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->size(), QSize(224, 58));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowTransparentForInput));
    EXPECT_EQ(panel->pos(), kDefaultOrigin.toPoint());
    EXPECT_EQ(controller.currentOrigin(), kDefaultOrigin);
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls(), 1) << "the first poll goes out at once";
    EXPECT_EQ(caret.lastPillSize(), QSizeF(224, 58));

    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 0.0);
    scheduler.advance(40ms);
    EXPECT_NEAR(panel->windowOpacity(), 0.4, 0.01);
    scheduler.advance(60ms);
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0) << "fully shown after 0.1 s";

    // No caret to be found: it stays at the bottom, polling every 140 ms.
    scheduler.advance(40ms); // 140 ms after the show
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls(), 2);
    for (int i = 0; i < 6; ++i) {
        scheduler.advance(140ms);
        controller.waitForCaretPolls();
    }
    EXPECT_EQ(caret.polls(), 8);
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
    EXPECT_EQ(panelPosition(), QPoint(564, 720));

    glide(40);
    const QPointF settled = controller.currentOrigin();
    EXPECT_LE(std::hypot(settled.x() - 628, settled.y() - 720), 0.5);
    EXPECT_GT(std::hypot(settled.x() - 628, settled.y() - 720), 0.0) << "it stops within half a point";
    glide(10);
    EXPECT_EQ(controller.currentOrigin(), settled) << "settled: no further moves";

    // A caret 300 points away (another window) is reached in one step.
    const QPointF far = settled + QPointF(0, -300);
    caret.answer(far);
    scheduler.advance(140ms); // the next poll
    glide(1);
    EXPECT_EQ(controller.currentOrigin(), far);
    EXPECT_EQ(panelPosition(), far.toPoint());

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
    EXPECT_LT(
        std::hypot(controller.currentOrigin().x() - fresh.x(), controller.currentOrigin().y() - fresh.y()),
        std::hypot(kDefaultOrigin.x() - fresh.x(), kDefaultOrigin.y() - fresh.y()));

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
    const int polls = caret.polls();
    controller.setVisible(true);
    EXPECT_NEAR(controller.panel()->windowOpacity(), 0.4, 0.01) << "the fade is not restarted";
    EXPECT_EQ(scheduler.pendingCount(), running) << "no second set of timers";
    EXPECT_EQ(caret.polls(), polls) << "no extra poll";

    bus.push(0.9f);
    bus.pushRecognizedCount(12);
    controller.setVisible(false);
    EXPECT_FALSE(controller.panel()->isVisible());
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "no timer runs while the pill is hidden";
    EXPECT_FLOAT_EQ(bus.sampleBallisticEnvelope(), 0.05f) << "hiding resets the level bus";
    EXPECT_EQ(bus.sampleRecognizedSymbolProgress().exactTarget, 0);

    controller.setVisible(false);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    controller.waitForCaretPolls();
    const int pollsWhenHidden = caret.polls();
    scheduler.advance(2s);
    controller.waitForCaretPolls();
    EXPECT_EQ(caret.polls(), pollsWhenHidden);
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
    const float level = wave->level();
    EXPECT_GT(level, 0.3f) << "each frame samples the bus";

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

TEST(PillControllerScreens, NoScreenMeansTheOrigin)
{
    VirtualScheduler scheduler;
    AudioLevelBus bus;
    FloatingPillController controller(
        scheduler, [](QSizeF) { return std::optional<QPointF>(); }, bus,
        [] { return std::optional<QRectF>(); });
    EXPECT_EQ(controller.defaultBottomOrigin(), QPointF(0, 0));

    FloatingPillController offset(
        scheduler, [](QSizeF) { return std::optional<QPointF>(); }, bus,
        [] { return std::optional(QRectF(1280, 24, 1920, 1056)); });
    EXPECT_EQ(offset.defaultBottomOrigin(), QPointF(1280 + 960 - 112, 24 + 1056 - 22 - 58))
        << "centred on the main screen's visible area, above its bottom panel";
}

#include "ui/pill/FloatingPillController.h"

#include "core/AppState.h"
#include "platform/CompositorWatch.h"
#include "ui/pill/FloatingPillView.h"
#include "util/AppIdentity.h"

#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

constexpr Duration kCaretPollInterval = std::chrono::milliseconds(140);
constexpr Duration kGlideInterval = std::chrono::milliseconds(16);
constexpr Duration kFadeInDuration = std::chrono::milliseconds(100);
// The fade's frames divide its duration evenly, so the last one lands on full opacity.
constexpr Duration kFadeStep = std::chrono::milliseconds(20);

constexpr qreal kGlideFraction = 0.2; // of the remaining way, per glide step
constexpr qreal kJumpDistance = 260;  // farther than this (another window, another screen) it jumps
constexpr qreal kSettledDistance = 0.5;
constexpr qreal kBottomMargin = 22; // above the dock or panel

QPoint toWindowPosition(QPointF origin)
{
    return {int(std::lround(origin.x())), int(std::lround(origin.y()))};
}

std::optional<QRectF> mainScreenArea()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        const QList<QScreen*> screens = QGuiApplication::screens();
        if (screens.isEmpty())
            return std::nullopt;
        screen = screens.first();
    }
    return QRectF(screen->availableGeometry());
}

} // namespace

// Written by the poll queue, read by the main thread; the lock is held only to copy the point.
struct FloatingPillController::CaretCache {
    std::mutex lock;
    std::optional<QPointF> cachedTargetOrigin;
    // Bumped at every show and hide: a poll answers only the appearance that sent it.
    quint64 generation = 0;
    // One poll at a time: a caret that answers slowly never piles polls up on the queue.
    bool pollInFlight = false;
};

FloatingPillController::FloatingPillController(Scheduler& scheduler, CaretOriginProvider caretOrigin,
                                               AudioLevelBus& levelBus, ScreenAreaProvider screenArea)
    : m_scheduler(scheduler), m_caretOrigin(std::move(caretOrigin)), m_levelBus(levelBus),
      m_screenArea(std::move(screenArea)), m_cache(std::make_unique<CaretCache>()),
      m_axPollQueue(AppIdentity::queueLabel(QStringLiteral("pill.axcaret")))
{
}

FloatingPillController::~FloatingPillController()
{
    // No news of the compositor after this.
    if (m_compositorWatch)
        m_compositorWatch->stop();
    stopDualLayerCaretTracking();
    m_fadeTimer.cancel();
    waitForCaretPolls();
}

void FloatingPillController::attach(QObject* appState)
{
    m_boundAppState = appState;
    if (!m_panel)
        buildPanel();
}

void FloatingPillController::follow(AppState& appState)
{
    attach(&appState);
    AppState* state = &appState;
    QObject::connect(state, &AppState::phaseChanged, &m_stateLink, [this, state](const PipelinePhase& phase) {
        setPhase(phase, state->llmConfig().enableLiveInlineTyping);
        setVisible(!phase.is<PipelinePhase::Idle>());
    });
    // The listening layout depends on the setting too, and the user may switch it while a phase is shown.
    QObject::connect(state, &AppState::changed, &m_stateLink, [this, state] {
        if (state->llmConfig().enableLiveInlineTyping != m_enableLiveInlineTyping)
            setPhase(m_phase, state->llmConfig().enableLiveInlineTyping);
    });
    setPhase(state->phase(), state->llmConfig().enableLiveInlineTyping);
}

void FloatingPillController::buildPanel()
{
    if (m_panel || !m_boundAppState)
        return;
    // A floating status window: above everything, on every desktop (override-redirect on X11), never
    // activated or focused, and transparent to the mouse.
    auto panel =
        std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                               Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                                               Qt::X11BypassWindowManagerHint);
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    panel->setAttribute(Qt::WA_X11DoNotAcceptFocus);
    panel->setAttribute(Qt::WA_TransparentForMouseEvents);
    panel->setFocusPolicy(Qt::NoFocus);
    panel->setFixedSize(kPillSize);

    m_view = new FloatingPillView(m_scheduler, m_levelBus, panel.get());
    m_view->setGeometry(QRect(QPoint(0, 0), kPillSize));
    m_panel = std::move(panel);
    QObject::connect(m_view, &FloatingPillView::shapeChanged, m_panel.get(), [this] { applyShape(); });
    m_view->setContent(m_phase, m_enableLiveInlineTyping);
    applyShape();
}

void FloatingPillController::followCompositor(CompositorWatch& watch)
{
    m_compositorWatch = &watch;
    const Status started = watch.start([this](bool composited) {
        QMetaObject::invokeMethod(&m_stateLink, [this, composited] { setComposited(composited); });
    });
    if (!started)
        qWarning("Whether the desktop composites windows is not known (%s): the pill is cut to its shape",
                 qPrintable(started.error));
}

void FloatingPillController::setComposited(bool composited)
{
    m_composited = composited;
    applyShape();
}

void FloatingPillController::applyShape()
{
    if (!m_panel)
        return;
    // Without a compositor the window's transparent pixels would show black around the pill.
    m_view->setOpaqueBacking(!m_composited);
    if (m_composited) {
        m_panel->setMask(QRegion());
        return;
    }
    // Nothing shown (idle, the panel about to hide): an empty mask would uncover the whole window, so the
    // last shape stays until the next one.
    const QRegion shape = m_view->shapeRegion();
    if (!shape.isEmpty())
        m_panel->setMask(shape);
}

void FloatingPillController::setPhase(const PipelinePhase& phase, bool enableLiveInlineTyping)
{
    m_phase = phase;
    m_enableLiveInlineTyping = enableLiveInlineTyping;
    if (m_view)
        m_view->setContent(m_phase, m_enableLiveInlineTyping);
}

void FloatingPillController::setVisible(bool visible)
{
    if (!visible) {
        stopDualLayerCaretTracking();
        m_fadeTimer.cancel();
        m_levelBus.reset(); // the next listening phase starts with a calm wave and an empty stream
        {
            std::lock_guard lock(m_cache->lock);
            m_cache->cachedTargetOrigin.reset();
            ++m_cache->generation;
        }
        if (m_panel)
            m_panel->hide();
        return;
    }

    if (!m_panel)
        buildPanel();
    if (!m_panel || m_panel->isVisible())
        return;

    const QPointF fallback = defaultBottomOrigin();
    QPointF origin;
    {
        std::lock_guard lock(m_cache->lock);
        ++m_cache->generation;
        origin = m_cache->cachedTargetOrigin.value_or(fallback);
    }
    m_currentOrigin = origin;
    m_panel->setWindowOpacity(0.0);
    m_panel->move(toWindowPosition(origin));
    m_panel->show();
    m_panel->raise();

    m_fadeStart = m_scheduler.now();
    m_fadeTimer =
        ScheduledWork(&m_scheduler, m_scheduler.scheduleRepeating(kFadeStep, [this] { stepFadeIn(); }));
    startDualLayerCaretTracking();
}

QPointF FloatingPillController::defaultBottomOrigin() const
{
    const std::optional<QRectF> area = m_screenArea ? m_screenArea() : mainScreenArea();
    if (!area)
        return {0, 0};
    // Window coordinates grow downward: the pill's top edge sits its height plus the margin above the bottom.
    return {area->center().x() - kPillSize.width() / 2.0,
            area->bottom() - kBottomMargin - kPillSize.height()};
}

void FloatingPillController::waitForCaretPolls()
{
    m_axPollQueue.sync([] {});
}

void FloatingPillController::startDualLayerCaretTracking()
{
    stopDualLayerCaretTracking();
    pollCaret(); // the first poll goes out at once
    m_axPollTimer = ScheduledWork(&m_scheduler,
                                  m_scheduler.scheduleRepeating(kCaretPollInterval, [this] { pollCaret(); }));
    m_lerpTimer = ScheduledWork(&m_scheduler, m_scheduler.scheduleRepeating(kGlideInterval, [this] {
        Q_ASSERT(QThread::currentThread() == m_panel->thread());
        stepPureMemoryLerp();
    }));
}

void FloatingPillController::stopDualLayerCaretTracking()
{
    m_axPollTimer.cancel();
    m_lerpTimer.cancel();
}

void FloatingPillController::pollCaret()
{
    quint64 generation = 0;
    {
        std::lock_guard lock(m_cache->lock);
        if (m_cache->pollInFlight)
            return;
        m_cache->pollInFlight = true;
        generation = m_cache->generation;
    }
    // The queue is joined before the controller goes, so `this` outlives the work.
    m_axPollQueue.async([this, generation] {
        const std::optional<QPointF> origin = m_caretOrigin ? m_caretOrigin(QSizeF(kPillSize)) : std::nullopt;
        std::lock_guard lock(m_cache->lock);
        m_cache->pollInFlight = false;
        // A poll of an older appearance never moves a newer pill; a caret that was not found keeps the last.
        if (origin && m_cache->generation == generation)
            m_cache->cachedTargetOrigin = origin;
    });
}

void FloatingPillController::stepPureMemoryLerp()
{
    if (!m_panel || !m_panel->isVisible())
        return;
    std::optional<QPointF> cached;
    {
        std::lock_guard lock(m_cache->lock);
        cached = m_cache->cachedTargetOrigin;
    }
    const QPointF target = cached ? *cached : defaultBottomOrigin();
    const QPointF delta = target - m_currentOrigin;
    const qreal distance = std::hypot(delta.x(), delta.y());
    if (distance <= kSettledDistance)
        return;
    m_currentOrigin = distance > kJumpDistance ? target : m_currentOrigin + delta * kGlideFraction;
    m_panel->move(toWindowPosition(m_currentOrigin));
}

void FloatingPillController::stepFadeIn()
{
    const double progress = std::chrono::duration<double>(m_scheduler.now() - m_fadeStart) /
                            std::chrono::duration<double>(kFadeInDuration);
    const double opacity = std::clamp(progress, 0.0, 1.0);
    if (m_panel)
        m_panel->setWindowOpacity(opacity);
    if (opacity >= 1.0)
        m_fadeTimer.cancel();
}

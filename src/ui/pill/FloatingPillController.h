#pragma once

#include "model/AudioLevelBus.h"
#include "model/Models.h"
#include "model/PipelinePhase.h"
#include "util/Scheduler.h"
#include "util/SerialQueue.h"

#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QRectF>
#include <QSize>
#include <functional>
#include <memory>
#include <optional>

class AppState;
class CompositorWatch;
class FloatingPillView;
class QWidget;

// The small floating pill near the text caret while a dictation runs: a frameless, always-on-top window of
// 224 x 58 that never takes the focus and lets clicks through. While shown it follows the caret in two
// layers: a caret poll every 140 ms on a queue of its own finds where the pill should be, and a 16 ms step
// on the main thread glides it there from memory, so no Accessibility call ever runs on the main thread.
//
// The application state binds it with attach(), hands it every phase with setPhase() and calls
// setVisible(phase is not idle) after every assignment of its phase; follow() makes those calls itself.
// Main thread only.
class FloatingPillController final {
public:
    static constexpr QSize kPillSize{224, 58};

    // Where a pill of `pillSize` sits centred 10 points below the focused caret: the top-left corner of the
    // pill in global screen coordinates (logical pixels), clamped to the visible area of the caret's screen;
    // nullopt when the caret cannot be located. Called on the poll queue, never on the main thread; may block
    // for its Accessibility time-outs. It must stay callable for the controller's lifetime.
    using CaretOriginProvider = std::function<std::optional<QPointF>(QSizeF pillSize)>;
    // The visible area of the main screen (without panels and docks); nullopt when there is no screen.
    using ScreenAreaProvider = std::function<std::optional<QRectF>()>;

    // Without a screen-area provider the primary screen's available geometry is used.
    FloatingPillController(Scheduler& scheduler, CaretOriginProvider caretOrigin, AudioLevelBus& levelBus,
                           ScreenAreaProvider screenArea = {});
    ~FloatingPillController();
    FloatingPillController(const FloatingPillController&) = delete;
    FloatingPillController& operator=(const FloatingPillController&) = delete;

    // Binds the application state weakly and builds the panel while it lives. Called once at start-up.
    void attach(QObject* appState);
    // attach(), then keeps the pill in step with the state: each phase goes to setPhase() and
    // setVisible(), and a change of the live-typing setting re-lays the phase shown.
    void follow(AppState& appState);
    // What the pill shows: the phase and the live-typing setting, which picks the slim listening layout.
    void setPhase(const PipelinePhase& phase, bool enableLiveInlineTyping);
    // Showing fades the pill in where it last found the caret (else at the default bottom position) and
    // starts tracking; showing a shown pill changes nothing. Hiding stops everything, forgets the caret and
    // resets the audio level bus, every time it is called.
    void setVisible(bool visible);

    // Keeps the pill's window in step with the desktop's compositing manager, from what `watch` reports (it
    // must outlive the controller): with one the window's soft edges are blended over the desktop; without
    // one, or until the watch has spoken, the window is cut to the pill's shape and its pixels are opaque,
    // since its transparent ones would show black.
    void followCompositor(CompositorWatch& watch);
    void setComposited(bool composited);
    bool isComposited() const { return m_composited; }

    // The bottom-centre position above the dock or panel: what the pill shows at without a caret.
    QPointF defaultBottomOrigin() const;
    QPointF currentOrigin() const { return m_currentOrigin; }
    QWidget* panel() const { return m_panel.get(); }
    FloatingPillView* pillView() const { return m_view; }
    // Blocks until the caret polls already handed to the poll queue have finished (tests; shutdown).
    void waitForCaretPolls();

private:
    struct CaretCache;

    void buildPanel();
    void applyShape();
    void startDualLayerCaretTracking();
    void stopDualLayerCaretTracking();
    void pollCaret();
    void stepPureMemoryLerp();
    void stepFadeIn();

    Scheduler& m_scheduler;
    CaretOriginProvider m_caretOrigin;
    AudioLevelBus& m_levelBus;
    ScreenAreaProvider m_screenArea;

    QPointer<QObject> m_boundAppState;
    std::unique_ptr<QWidget> m_panel;
    FloatingPillView* m_view = nullptr; // owned by the panel
    PipelinePhase m_phase;
    bool m_enableLiveInlineTyping = false;
    bool m_composited = false;
    CompositorWatch* m_compositorWatch = nullptr;

    ScheduledWork m_lerpTimer;
    ScheduledWork m_axPollTimer;
    ScheduledWork m_fadeTimer;
    MonotonicTime m_fadeStart{};
    QPointF m_currentOrigin; // main thread only

    std::unique_ptr<CaretCache> m_cache;
    // Context of the connections follow() makes and of the compositor's news; they end with the controller.
    QObject m_stateLink;
    // Declared last so it is joined first, while everything its work touches still exists.
    SerialQueue m_axPollQueue;
};

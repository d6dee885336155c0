#pragma once

#include "model/AudioLevelBus.h"
#include "model/Models.h"
#include "model/PipelinePhase.h"
#include "util/Scheduler.h"

#include <QPainterPath>
#include <QRegion>
#include <QWidget>
#include <array>

class FluidSineWaveView;
class MicroSymbolStreamView;
class PillCapsule;
class PillTextLabel;

// What the floating pill shows for each pipeline phase: a small shape centred in the panel, whose form,
// colour and motion tell the phase; the only text shown is the preview of the saved-to-clipboard phase.
class FloatingPillView final : public QWidget {
    Q_OBJECT

public:
    enum class Layout {
        none,
        listeningCompact,
        listeningFull,
        polishing,
        completed,
        savedToClipboard,
        error
    };

    // Rewriting a selection and live typing get the slim capsule; plain dictation the full one with the
    // stream.
    static Layout layoutFor(const PipelinePhase& phase, bool enableLiveInlineTyping);
    // Violet while a selection is being rewritten, indigo otherwise.
    static QColor accentFor(const PipelinePhase& phase);

    FloatingPillView(Scheduler& scheduler, AudioLevelBus& bus, QWidget* parent = nullptr);
    ~FloatingPillView() override;

    void setContent(const PipelinePhase& phase, bool enableLiveInlineTyping);
    Layout layout() const { return m_layout; }

    // The pill shape in view coordinates; empty when nothing is shown.
    QRect capsuleGeometry() const;
    // The pixels the shape covers: what a window is cut to where no compositor blends its soft edges.
    QRegion shapeRegion() const;
    // Paints the shape's pixels opaque white first, so that the translucent backing and the soft edge do not
    // darken where nothing blends them with the desktop.
    void setOpaqueBacking(bool opaque);

Q_SIGNALS:
    void shapeChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    PillCapsule* capsule(Layout layout) const;
    // Centres the shown capsule at its natural size; tells when the shape moved or was replaced.
    void relayout(bool shapeReplaced = false);

    Layout m_layout = Layout::none;
    bool m_opaqueBacking = false;
    std::array<PillCapsule*, 7> m_capsules{}; // indexed by Layout; none has no capsule
    FluidSineWaveView* m_compactWave = nullptr;
    FluidSineWaveView* m_fullWave = nullptr;
    MicroSymbolStreamView* m_stream = nullptr;
    PillTextLabel* m_clipboardText = nullptr;
};

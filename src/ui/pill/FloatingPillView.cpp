#include "ui/pill/FloatingPillView.h"

#include "ui/pill/FluidSineWaveView.h"
#include "ui/pill/MicroSymbolStreamView.h"
#include "ui/pill/PillParts.h"
#include "ui/pill/ShimmerDotsView.h"
#include "ui/theme/BrandColors.h"
#include "ui/widgets/RuzoraMarkView.h"

#include <QApplication>
#include <QBoxLayout>
#include <QEvent>
#include <QPainter>
#include <QPolygon>
#include <algorithm>

namespace {

using Layout = FloatingPillView::Layout;

// The desktop has no blurred "material" behind windows; a thin veil of white over the paper stands in.
QColor material()
{
    return QColor::fromRgbF(1, 1, 1, 0.3f);
}

constexpr int kSymbolGap = 5;
constexpr int kSymbolPadding = 10;
constexpr int kPillWidth = 224;

std::size_t index(Layout layout)
{
    return static_cast<std::size_t>(layout);
}

QBoxLayout* row(int spacing)
{
    auto* layout = new QHBoxLayout;
    layout->setSpacing(spacing);
    return layout;
}

QFont noticeFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    return font;
}

} // namespace

FloatingPillView::Layout FloatingPillView::layoutFor(const PipelinePhase& phase, bool enableLiveInlineTyping)
{
    if (const auto* listening = phase.as<PipelinePhase::Listening>()) {
        const bool compact = listening->mode == DictationMode::rewriteSelection || enableLiveInlineTyping;
        return compact ? Layout::listeningCompact : Layout::listeningFull;
    }
    if (phase.is<PipelinePhase::Polishing>())
        return Layout::polishing;
    if (phase.is<PipelinePhase::Completed>())
        return Layout::completed;
    if (phase.is<PipelinePhase::SavedToClipboard>())
        return Layout::savedToClipboard;
    if (phase.is<PipelinePhase::Error>())
        return Layout::error;
    return Layout::none;
}

QColor FloatingPillView::accentFor(const PipelinePhase& phase)
{
    const auto* listening = phase.as<PipelinePhase::Listening>();
    return listening && listening->mode == DictationMode::rewriteSelection ? BrandColors::violet()
                                                                           : BrandColors::indigo();
}

FloatingPillView::FloatingPillView(Scheduler& scheduler, AudioLevelBus& bus, QWidget* parent)
    : QWidget(parent)
{
    const auto addCapsule = [this](Layout layout, PillCapsule::Style style, QMargins padding,
                                   QBoxLayout* content) {
        auto* capsule = new PillCapsule(std::move(style), this);
        content->setContentsMargins(padding);
        capsule->setLayout(content);
        capsule->hide();
        capsule->installEventFilter(this);
        m_capsules[index(layout)] = capsule;
    };
    const QColor indigo = BrandColors::indigo();

    {
        QBoxLayout* content = row(9);
        content->addWidget(new RuzoraMarkView(16), 0, Qt::AlignVCenter);
        m_compactWave = new FluidSineWaveView(indigo, QSize(62, 16), scheduler, bus);
        content->addWidget(m_compactWave, 0, Qt::AlignVCenter);
        addCapsule(Layout::listeningCompact,
                   {31, -1, {material(), BrandColors::paper(0.94)}, BrandColors::ink(0.1)},
                   QMargins(13, 0, 13, 0), content);
    }
    {
        auto* column = new QVBoxLayout;
        column->setSpacing(4);
        m_stream = new MicroSymbolStreamView(indigo, scheduler, bus);
        column->addWidget(m_stream, 0, Qt::AlignHCenter);
        QBoxLayout* waveRow = row(8);
        waveRow->addWidget(new RuzoraMarkView(14), 0, Qt::AlignVCenter);
        m_fullWave = new FluidSineWaveView(indigo, QSize(86, 14), scheduler, bus);
        waveRow->addWidget(m_fullWave, 0, Qt::AlignVCenter);
        column->addLayout(waveRow);
        column->setAlignment(waveRow, Qt::AlignHCenter);
        // 6.5 points above and below, split into whole pixels.
        addCapsule(Layout::listeningFull,
                   {0, 18, {material(), BrandColors::paper(0.95)}, BrandColors::ink(0.1)},
                   QMargins(14, 7, 14, 6), column);
    }
    {
        QBoxLayout* content = row(8);
        content->addWidget(new RuzoraMarkView(15), 0, Qt::AlignVCenter);
        content->addWidget(new ShimmerDotsView(scheduler), 0, Qt::AlignVCenter);
        addCapsule(Layout::polishing,
                   {29, -1, {material(), BrandColors::paper(0.95)}, BrandColors::indigo(0.22)},
                   QMargins(13, 0, 13, 0), content);
    }
    {
        QBoxLayout* content = row(kSymbolGap);
        content->addWidget(
            new PillSymbolView(PillSymbolView::Symbol::checkmarkCircle, 12, BrandColors::successGreen()), 0,
            Qt::AlignVCenter);
        addCapsule(Layout::completed,
                   {26, -1, {QColor::fromRgbF(1, 1, 1, 0.95f)}, QColor::fromRgbF(0, 0, 0, 0.06f)},
                   QMargins(kSymbolPadding, 0, kSymbolPadding, 0), content);
    }
    {
        QBoxLayout* content = row(kSymbolGap);
        auto* symbol =
            new PillSymbolView(PillSymbolView::Symbol::clipboard, 11, BrandColors::clipboardBlue());
        content->addWidget(symbol, 0, Qt::AlignVCenter);
        const int textRoom = kPillWidth - 2 * kSymbolPadding - symbol->width() - kSymbolGap;
        m_clipboardText = new PillTextLabel(noticeFont(), BrandColors::noticeText(), textRoom);
        content->addWidget(m_clipboardText, 0, Qt::AlignVCenter);
        addCapsule(Layout::savedToClipboard,
                   {28, -1, {QColor::fromRgbF(1, 1, 1, 0.96f)}, BrandColors::clipboardBlue(0.3)},
                   QMargins(kSymbolPadding, 0, kSymbolPadding, 0), content);
    }
    {
        QBoxLayout* content = row(kSymbolGap);
        content->addWidget(
            new PillSymbolView(PillSymbolView::Symbol::warningTriangle, 12, BrandColors::orange()), 0,
            Qt::AlignVCenter);
        addCapsule(Layout::error, {28, -1, {QColor::fromRgbF(1, 1, 1, 0.96f)}, BrandColors::orange(0.4)},
                   QMargins(kSymbolPadding, 0, kSymbolPadding, 0), content);
    }
}

FloatingPillView::~FloatingPillView() = default;

PillCapsule* FloatingPillView::capsule(Layout layout) const
{
    return m_capsules[index(layout)];
}

void FloatingPillView::setContent(const PipelinePhase& phase, bool enableLiveInlineTyping)
{
    const Layout next = layoutFor(phase, enableLiveInlineTyping);
    const QColor accent = accentFor(phase);
    m_compactWave->setAccent(accent);
    m_fullWave->setAccent(accent);
    m_stream->setAccent(accent);
    if (const auto* saved = phase.as<PipelinePhase::SavedToClipboard>())
        m_clipboardText->setText(saved->textPreview);

    if (next != m_layout) {
        // Hide the old first, so its animations stop before the new ones start.
        if (PillCapsule* old = capsule(m_layout))
            old->hide();
        m_layout = next;
        if (PillCapsule* shown = capsule(m_layout))
            shown->show();
        relayout(true);
        return;
    }
    relayout();
}

QRect FloatingPillView::capsuleGeometry() const
{
    const PillCapsule* shown = capsule(m_layout);
    return shown ? shown->geometry() : QRect();
}

QRegion FloatingPillView::shapeRegion() const
{
    const PillCapsule* shown = capsule(m_layout);
    if (!shown)
        return {};
    const QPainterPath path = shown->shapeIn(QRectF(shown->geometry()));
    return QRegion(path.toFillPolygon().toPolygon());
}

void FloatingPillView::setOpaqueBacking(bool opaque)
{
    if (opaque == m_opaqueBacking)
        return;
    m_opaqueBacking = opaque;
    update();
}

void FloatingPillView::paintEvent(QPaintEvent*)
{
    if (!m_opaqueBacking)
        return;
    QPainter painter(this);
    painter.setClipRegion(shapeRegion());
    painter.fillRect(rect(), Qt::white);
}

bool FloatingPillView::eventFilter(QObject* watched, QEvent* event)
{
    // A child changed its size (the glyph stream grows with the text): the pill re-centres.
    if (event->type() == QEvent::LayoutRequest && watched == capsule(m_layout))
        relayout();
    return QWidget::eventFilter(watched, event);
}

void FloatingPillView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void FloatingPillView::relayout(bool shapeReplaced)
{
    if (PillCapsule* shown = capsule(m_layout)) {
        const QSize hint = shown->sizeHint();
        const int w = std::min(hint.width(), width());
        const int h = std::min(hint.height(), height());
        const QRect target((width() - w) / 2, (height() - h) / 2, w, h);
        if (target == shown->geometry() && !shapeReplaced)
            return;
        shown->setGeometry(target);
    }
    if (m_opaqueBacking)
        update();
    Q_EMIT shapeChanged();
}

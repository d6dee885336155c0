#include "ui/widgets/QBHotkeyPresetGrid.h"

#include "core/AppState.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBPaint.h"

#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {
constexpr qreal kCellPaddingH = 6;
constexpr qreal kCellPaddingV = 6.5;
constexpr qreal kCellRadius = 7;
constexpr qreal kActiveBorderWidth = 1.25;
constexpr int kGridPadding = 5;
constexpr int kRowSpacing = 6;
constexpr qreal kWellRadius = 9.5;
constexpr qreal kWellOpacity = 0.55;

QFont labelFont(bool active, qreal scale = 1)
{
    return QBTheme::font(QBHotkeyPresetCell::kFontSize * scale, active ? QFont::DemiBold : QFont::Normal);
}
} // namespace

QBHotkeyPresetCell::QBHotkeyPresetCell(TriggerKeyOption option, QWidget* parent)
    : QAbstractButton(parent), m_option(option)
{
    setObjectName(QStringLiteral("preset-") + option.rawValue());
    setText(option.shortLabel());
    setCursor(Qt::PointingHandCursor);
    setCheckable(false);
}

void QBHotkeyPresetCell::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    updateGeometry();
    update();
}

qreal QBHotkeyPresetCell::labelWidth() const
{
    return std::max<qreal>(0, width() - 2 * kCellPaddingH);
}

const QBHotkeyPresetCell::Fitted& QBHotkeyPresetCell::fitted() const
{
    if (m_fitted.width == width() && m_fitted.active == m_active && m_fitted.text == text())
        return m_fitted;
    m_fitted.width = width();
    m_fitted.active = m_active;
    m_fitted.text = text();
    const qreal full = QBPaint::textWidth(text(), labelFont(m_active));
    const qreal room = labelWidth();
    m_fitted.font = full <= room || full <= 0 ? labelFont(m_active)
                                              : labelFont(m_active, std::max(kMinimumScale, room / full));
    m_fitted.shown = QBPaint::textWidth(text(), m_fitted.font) <= room
                         ? text()
                         : QFontMetricsF(m_fitted.font).elidedText(text(), Qt::ElideRight, room);
    return m_fitted;
}

QFont QBHotkeyPresetCell::shownFont() const
{
    return fitted().font;
}

QString QBHotkeyPresetCell::shownText() const
{
    return fitted().shown;
}

QSize QBHotkeyPresetCell::sizeHint() const
{
    // The semibold width, so a cell does not ask for more room when it becomes active.
    const QFont font = labelFont(true);
    return QSize(int(std::ceil(QBPaint::textWidth(text(), font) + 2 * kCellPaddingH)),
                 int(std::ceil(QFontMetricsF(font).height() + 2 * kCellPaddingV)));
}

QSize QBHotkeyPresetCell::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void QBHotkeyPresetCell::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape(rect());
    if (m_active)
        QBPaint::roundedRect(painter, shape, kCellRadius, QBTheme::cardBg(),
                             QBTheme::faded(QBTheme::violet(), 0.65), kActiveBorderWidth);
    else
        QBPaint::roundedRect(painter, shape, kCellRadius, QBTheme::softWell(), QBTheme::hairline());
    const Fitted& label = fitted();
    painter.setFont(label.font);
    painter.setPen(m_active ? QBTheme::violet() : QBTheme::inkSecondary());
    painter.drawText(shape.adjusted(kCellPaddingH, 0, -kCellPaddingH, 0),
                     Qt::AlignCenter | Qt::TextSingleLine, label.shown);
}

QList<QBHotkeyPresetGrid::Column> QBHotkeyPresetGrid::fiveFlexibleColumns()
{
    return QList<Column>(5, Column{10, 6});
}

QBHotkeyPresetGrid::QBHotkeyPresetGrid(AppState& state, QList<Column> columns, QWidget* parent)
    : QWidget(parent), m_state(state),
      m_columns(columns.isEmpty() ? fiveFlexibleColumns() : std::move(columns)),
      m_lift(kCellRadius, 2, QColor::fromRgbF(0, 0, 0, 0.05f))
{
    setObjectName(QStringLiteral("hotkeyPresetGrid"));
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    for (TriggerKeyOption option : TriggerKeyOption::presetMatrixOrder()) {
        auto* cell = new QBHotkeyPresetCell(option, this);
        connect(cell, &QAbstractButton::clicked, this, [this, option] { pick(option); });
        m_cells.append(cell);
    }
    refresh();
}

void QBHotkeyPresetGrid::pick(TriggerKeyOption option)
{
    // A running custom-key capture would otherwise answer later and overwrite the preset.
    if (m_state.isRecordingShortcut())
        m_state.cancelShortcutCapture();
    // Also when it is already active: the key's observer runs again and re-arms the monitor.
    m_state.setTriggerKey(option);
    refresh();
}

void QBHotkeyPresetGrid::refresh()
{
    const TriggerKeyOption active = m_state.triggerKey();
    for (QBHotkeyPresetCell* cell : m_cells) {
        if (cell->isActive() != (cell->option() == active)) {
            cell->setActive(cell->option() == active);
            update(); // the active cell's shadow lies on the well
        }
    }
}

QBHotkeyPresetCell* QBHotkeyPresetGrid::cell(TriggerKeyOption option) const
{
    for (QBHotkeyPresetCell* cell : m_cells) {
        if (cell->option() == option)
            return cell;
    }
    return nullptr;
}

int QBHotkeyPresetGrid::rowCount() const
{
    const auto columns = m_columns.size();
    return int((m_cells.size() + columns - 1) / columns);
}

int QBHotkeyPresetGrid::cellHeight() const
{
    return m_cells.first()->sizeHint().height();
}

qreal QBHotkeyPresetGrid::spacingTotal() const
{
    qreal total = 0;
    for (qsizetype i = 0; i + 1 < m_columns.size(); ++i)
        total += m_columns[i].spacing;
    return total;
}

int QBHotkeyPresetGrid::heightForWidth(int) const
{
    const int rows = rowCount();
    return 2 * kGridPadding + rows * cellHeight() + std::max(0, rows - 1) * kRowSpacing;
}

QSize QBHotkeyPresetGrid::sizeHint() const
{
    qreal widest = 0;
    for (QBHotkeyPresetCell* cell : m_cells)
        widest = std::max<qreal>(widest, cell->sizeHint().width());
    const qreal width = 2 * kGridPadding + spacingTotal() + widest * qreal(m_columns.size());
    return QSize(int(std::ceil(width)), heightForWidth(0));
}

QSize QBHotkeyPresetGrid::minimumSizeHint() const
{
    qreal minimum = 2 * kGridPadding + spacingTotal();
    for (const Column& column : m_columns)
        minimum += column.minimumWidth;
    return QSize(int(std::ceil(minimum)), heightForWidth(0));
}

void QBHotkeyPresetGrid::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutCells();
}

void QBHotkeyPresetGrid::layoutCells()
{
    // Flexible columns share what is left after the spacing equally, never below their minimum.
    const qsizetype columns = m_columns.size();
    qreal fixedMinimum = 0;
    for (const Column& column : m_columns)
        fixedMinimum += column.minimumWidth;
    const qreal room = width() - 2 * kGridPadding - spacingTotal();
    const qreal share = room / qreal(columns);
    QList<qreal> lefts;
    QList<qreal> widths;
    qreal x = kGridPadding;
    for (qsizetype c = 0; c < columns; ++c) {
        const qreal w =
            room >= fixedMinimum ? std::max(share, m_columns[c].minimumWidth) : m_columns[c].minimumWidth;
        lefts.append(x);
        widths.append(w);
        x += w + m_columns[c].spacing;
    }
    const int height = cellHeight();
    for (qsizetype i = 0; i < m_cells.size(); ++i) {
        const qsizetype row = i / columns;
        const qsizetype column = i % columns;
        const int left = int(std::lround(lefts[column]));
        const int right = int(std::lround(lefts[column] + widths[column]));
        m_cells[i]->setGeometry(left, kGridPadding + int(row) * (height + kRowSpacing), right - left, height);
    }
}

void QBHotkeyPresetGrid::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QBPaint::roundedRect(painter, QRectF(rect()), kWellRadius,
                         QBTheme::faded(QBTheme::sandWell(), kWellOpacity), Qt::transparent);
    // The active cell's lift: a tight shadow under it, drawn here since it falls outside the cell.
    for (QBHotkeyPresetCell* cell : m_cells) {
        if (!cell->isActive())
            continue;
        const qreal dpr = devicePixelRatioF();
        const QImage& shade = m_lift.shadow(QSizeF(cell->size()), dpr);
        const qreal spread = std::ceil(2 * dpr) / dpr;
        painter.drawImage(QPointF(cell->x() - spread, cell->y() - spread + 1), shade);
    }
}

#include "ui/pages/dictionary/DictionaryEntryList.h"

#include "ui/pages/dictionary/DictionaryRules.h"
#include "ui/theme/QBIcons.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBPaint.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

constexpr qreal kInsetH = 14;
constexpr qreal kInsetV = 9.5;
constexpr int kRowSpacing = 8;
constexpr qreal kSpacing = 10;
constexpr qreal kChipSpacing = 4;
constexpr qreal kRadius = 11;
constexpr qreal kCheckboxSize = 15;
constexpr qreal kButtonSymbolSize = 11.5;
// A term or phonetic key never takes more than its share of a row; what does not fit is elided.
constexpr qreal kTermShare = 0.45;
constexpr qreal kMinTermWidth = 80;
constexpr qreal kMaxChipWidth = 160;

struct RowFonts {
    QFont term = QBTheme::font(14, QFont::DemiBold);
    QFont badge = QBTheme::font(10, QFont::DemiBold);
    QFont phonetic = QBTheme::font(11, QFont::Normal, QBTheme::FontDesign::monospaced);
    QFont chip = QBTheme::font(11, QFont::Medium);
    QFont more = QBTheme::font(10.5);
    QFont category = QBTheme::font(10.5, QFont::Medium);
};

const RowFonts& fonts()
{
    static const RowFonts f;
    return f;
}

const QString& pinBadgeText()
{
    static const QString text = QStringLiteral("★ 常驻");
    return text;
}

QBButton::Look buttonLook(DictionaryEntryList::Part part, bool pressed)
{
    return QBButton::look(part == DictionaryEntryList::Part::remove ? QBButton::Kind::destructive
                                                                    : QBButton::Kind::secondary,
                          true, true, pressed);
}

QSizeF buttonSize(DictionaryEntryList::Part part)
{
    return QBButton::faceSize(buttonLook(part, false), QString(), QBIcon::pencil, kButtonSymbolSize);
}

// A capsule or chip around a text: its width and height with the padding.
QSizeF padded(const QString& text, const QFont& font, qreal padH, qreal padV)
{
    const QFontMetricsF metrics(font);
    return {metrics.horizontalAdvance(text) + 2 * padH, metrics.height() + 2 * padV};
}

QRectF centredAt(qreal x, qreal midY, QSizeF size)
{
    return QRectF(x, midY - size.height() / 2, size.width(), size.height());
}

void drawText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
              const QColor& color)
{
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(color);
    const qreal baseline = rect.center().y() + (metrics.ascent() - metrics.descent()) / 2;
    painter.drawText(QPointF(rect.left(), baseline), text);
}

void drawCentredText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                     const QColor& color)
{
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(text);
    drawText(painter, QRectF(rect.center().x() - width / 2, rect.top(), width, rect.height()), text, font,
             color);
}

} // namespace

DictionaryEntryList::DictionaryEntryList(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("entryList"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // A tap anywhere on a row does something (opens the editor or toggles the selection).
    setCursor(Qt::PointingHandCursor);
    relayout();
}

qreal DictionaryEntryList::rowHeight()
{
    static const qreal height = [] {
        const qreal content = std::max({QFontMetricsF(fonts().term).height(), buttonSize(Part::edit).height(),
                                        buttonSize(Part::remove).height()});
        return std::ceil(content + 2 * kInsetV);
    }();
    return height;
}

void DictionaryEntryList::setEntries(QList<LexiconEntry> entries)
{
    m_entries = std::move(entries);
    m_editorRow = m_editorId.isNull() ? -1 : rowOf(m_editorId);
    m_pressed.reset();
    relayout();
    update();
}

void DictionaryEntryList::releaseEntries()
{
    m_entries = {};
    m_editorRow = -1;
    m_pressed.reset();
}

void DictionaryEntryList::setBatchMode(bool on)
{
    if (on == m_batchMode)
        return;
    m_batchMode = on;
    update();
}

void DictionaryEntryList::setSelection(const QSet<QUuid>& selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    update();
}

void DictionaryEntryList::setEditor(QWidget* editor, const QUuid& id)
{
    if (m_editor && m_editor != editor)
        m_editor->hide();
    m_editor = editor;
    m_editorId = editor ? id : QUuid();
    m_editorRow = m_editorId.isNull() ? -1 : rowOf(m_editorId);
    if (editor && editor->parentWidget() != this)
        editor->setParent(this);
    relayout();
    update();
}

int DictionaryEntryList::rowOf(const QUuid& id) const
{
    // A scan: a map of a large lexicon's rows would cost more to build after each change than the few
    // questions asked between changes (the editor's row is kept).
    const auto found =
        std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const LexiconEntry& e) { return e.id == id; });
    return found == m_entries.cend() ? -1 : int(found - m_entries.cbegin());
}

int DictionaryEntryList::editorRow() const
{
    return m_editor ? m_editorRow : -1;
}

int DictionaryEntryList::editorHeight() const
{
    if (!m_editor)
        return 0;
    return m_editor->hasHeightForWidth() ? m_editor->heightForWidth(width()) : m_editor->sizeHint().height();
}

int DictionaryEntryList::rowTop(int row) const
{
    const int pitch = int(rowHeight()) + kRowSpacing;
    const int edited = editorRow();
    int top = row * pitch;
    if (edited >= 0 && row > edited)
        top += editorHeight() - int(rowHeight());
    return top;
}

int DictionaryEntryList::totalHeight() const
{
    if (m_entries.isEmpty())
        return 0;
    const int last = int(m_entries.size()) - 1;
    return rowTop(last) + (last == editorRow() ? editorHeight() : int(rowHeight()));
}

QRect DictionaryEntryList::rowRect(int row) const
{
    if (row < 0 || row >= m_entries.size())
        return {};
    const int height = row == editorRow() ? editorHeight() : int(rowHeight());
    return QRect(0, rowTop(row), width(), height);
}

void DictionaryEntryList::relayout()
{
    setFixedHeight(totalHeight());
    const int edited = editorRow();
    if (m_editor) {
        if (edited >= 0) {
            m_editor->setGeometry(rowRect(edited));
            m_editor->show();
        } else {
            m_editor->hide();
        }
    }
}

void DictionaryEntryList::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The editor's height follows the width (its captions wrap).
    relayout();
}

QSize DictionaryEntryList::sizeHint() const
{
    return QSize(0, totalHeight());
}

QSize DictionaryEntryList::minimumSizeHint() const
{
    return sizeHint();
}

DictionaryEntryList::RowLayout DictionaryEntryList::rowLayout(int row) const
{
    RowLayout layout;
    const LexiconEntry& entry = m_entries[row];
    const RowFonts& f = fonts();
    layout.frame = QRectF(rowRect(row));
    const qreal midY = layout.frame.center().y();

    // Trailing edge first: the delete and edit buttons and the category tag always show.
    qreal right = layout.frame.right() - kInsetH;
    layout.remove = centredAt(right - buttonSize(Part::remove).width(), midY, buttonSize(Part::remove));
    right = layout.remove.left() - kSpacing;
    layout.edit = centredAt(right - buttonSize(Part::edit).width(), midY, buttonSize(Part::edit));
    right = layout.edit.left() - kSpacing;
    const QSizeF category = padded(entry.category.rawValue(), f.category, 8, 2.5);
    layout.category = centredAt(right - category.width(), midY, category);
    const qreal limit = layout.category.left() - kSpacing;

    qreal x = layout.frame.left() + kInsetH;
    if (m_batchMode) {
        layout.checkbox = centredAt(x, midY, QSizeF(kCheckboxSize, kCheckboxSize));
        x += kCheckboxSize + kSpacing;
    }
    const qreal available = std::max(0.0, limit - x);

    const QFontMetricsF termMetrics(f.term);
    const qreal termWidth =
        std::min(termMetrics.horizontalAdvance(entry.term), std::max(available * kTermShare, kMinTermWidth));
    layout.termText = termMetrics.elidedText(entry.term, Qt::ElideRight, termWidth);
    layout.term =
        centredAt(x, midY, QSizeF(termMetrics.horizontalAdvance(layout.termText), termMetrics.height()));
    x = layout.term.right() + kSpacing;

    if (DictionaryRules::isPinned(entry)) {
        const QSizeF badge = padded(pinBadgeText(), f.badge, 6, 1.5);
        if (x + badge.width() <= limit) {
            layout.pinBadge = centredAt(x, midY, badge);
            x += badge.width() + kSpacing;
        }
    }

    const DictionaryRules::AliasChips chips = DictionaryRules::aliasChips(entry.aliases);
    const QFontMetricsF phoneticMetrics(f.phonetic);
    // With aliases to show, the key leaves them at least half of what is left.
    const qreal keyRoom = std::max(0.0, limit - x) * (chips.shown.isEmpty() ? 1.0 : 0.5);
    layout.phoneticText = phoneticMetrics.elidedText(entry.phoneticKey, Qt::ElideRight, keyRoom);
    layout.phonetic = centredAt(
        x, midY, QSizeF(phoneticMetrics.horizontalAdvance(layout.phoneticText), phoneticMetrics.height()));
    if (!layout.phoneticText.isEmpty())
        x = layout.phonetic.right() + kSpacing;

    // Chips while they fit, keeping room for the counter of those that do not.
    const QFontMetricsF chipMetrics(f.chip);
    const QFontMetricsF moreMetrics(f.more);
    int drawn = 0;
    for (int i = 0; i < chips.shown.size(); ++i) {
        const int left = int(entry.aliases.size()) - (i + 1);
        const qreal counter =
            left > 0 ? kChipSpacing + moreMetrics.horizontalAdvance(QStringLiteral("+%1").arg(left)) : 0;
        const QString text = chipMetrics.elidedText(chips.shown[i], Qt::ElideRight, kMaxChipWidth - 13);
        const QSizeF chip = padded(text, f.chip, 6.5, 2);
        if (x + chip.width() + counter > limit)
            break;
        layout.chips.append(centredAt(x, midY, chip));
        layout.chipTexts.append(text);
        x += chip.width() + kChipSpacing;
        ++drawn;
    }
    const int more = int(entry.aliases.size()) - drawn;
    if (more > 0) {
        layout.moreText = QStringLiteral("+%1").arg(more);
        const QSizeF size(moreMetrics.horizontalAdvance(layout.moreText), moreMetrics.height());
        if (x + size.width() <= limit)
            layout.more = centredAt(x, midY, size);
    }
    return layout;
}

QPoint DictionaryEntryList::partCenter(int row, Part part) const
{
    const RowLayout layout = rowLayout(row);
    switch (part) {
    case Part::checkbox:
        return layout.checkbox ? layout.checkbox->center().toPoint() : QPoint();
    case Part::edit:
        return layout.edit.center().toPoint();
    case Part::remove:
        return layout.remove.center().toPoint();
    case Part::row:
        break;
    }
    return layout.term.center().toPoint();
}

int DictionaryEntryList::rowAtY(int y) const
{
    // Rows are evenly spaced, except that those below the editor move down by its extra height.
    const int pitch = int(rowHeight()) + kRowSpacing;
    const int edited = editorRow();
    int row = std::max(0, y) / pitch;
    if (edited >= 0 && row > edited)
        row = y < rowTop(edited + 1) ? edited : (y - (editorHeight() - int(rowHeight()))) / pitch;
    return std::clamp(row, 0, int(m_entries.size()) - 1);
}

DictionaryEntryList::Hit DictionaryEntryList::hitAt(const QPointF& point) const
{
    if (m_entries.isEmpty())
        return {};
    const int row = rowAtY(int(point.y()));
    if (row == editorRow() || !rowRect(row).contains(point.toPoint()))
        return {};
    const RowLayout layout = rowLayout(row);
    if (layout.edit.contains(point))
        return {row, Part::edit};
    if (layout.remove.contains(point))
        return {row, Part::remove};
    if (layout.checkbox && layout.checkbox->adjusted(-4, -4, 4, 4).contains(point))
        return {row, Part::checkbox};
    return {row, Part::row};
}

void DictionaryEntryList::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const Hit hit = hitAt(event->position());
    if (hit.row < 0)
        return;
    m_pressed = hit;
    update(rowRect(hit.row));
}

void DictionaryEntryList::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return QWidget::mouseReleaseEvent(event);
    const Hit pressed = *m_pressed;
    m_pressed.reset();
    update(rowRect(pressed.row));
    const Hit hit = hitAt(event->position());
    if (hit.row == pressed.row && hit.part == pressed.part) {
        // A copy: the click may change the list the rows share. at(): a write access would copy the list.
        const QUuid id = m_entries.at(hit.row).id;
        Q_EMIT partClicked(id, hit.part);
    }
}

void DictionaryEntryList::paintEvent(QPaintEvent* event)
{
    if (m_entries.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    // Only the rows the exposed area touches.
    const QRect exposed = event->rect();
    const int edited = editorRow();
    for (int row = rowAtY(exposed.top()); row < m_entries.size(); ++row) {
        const QRect rect = rowRect(row);
        if (rect.top() > exposed.bottom())
            break;
        if (row != edited && rect.intersects(exposed))
            paintRow(painter, row);
    }
}

void DictionaryEntryList::paintRow(QPainter& painter, int row) const
{
    const LexiconEntry& entry = m_entries[row];
    const RowLayout layout = rowLayout(row);
    const RowFonts& f = fonts();
    QBPaint::roundedRect(painter, layout.frame.adjusted(0.5, 0.5, -0.5, -0.5), kRadius, QBTheme::cardBg(),
                         QBTheme::hairline());

    if (layout.checkbox) {
        const bool selected = m_selected.contains(entry.id);
        QBIcons::paint(painter, *layout.checkbox, selected ? QBIcon::squareCheckFilled : QBIcon::square,
                       kCheckboxSize, selected ? QBTheme::violet() : QBTheme::inkMuted());
    }
    drawText(painter, layout.term, layout.termText, f.term, QBTheme::inkPrimary());
    if (layout.pinBadge) {
        QBPaint::roundedRect(painter, *layout.pinBadge, -1, QBTheme::amberTint(), Qt::transparent);
        drawCentredText(painter, *layout.pinBadge, pinBadgeText(), f.badge, QBTheme::amber());
    }
    drawText(painter, layout.phonetic, layout.phoneticText, f.phonetic, QBTheme::inkMuted());
    for (int i = 0; i < layout.chips.size(); ++i) {
        QBPaint::roundedRect(painter, layout.chips[i], 5, QBTheme::lilacTint(), Qt::transparent);
        drawCentredText(painter, layout.chips[i], layout.chipTexts[i], f.chip, QBTheme::violet());
    }
    if (layout.more)
        drawText(painter, *layout.more, layout.moreText, f.more, QBTheme::inkMuted());

    QBPaint::roundedRect(painter, layout.category, -1, QBTheme::softWell(), Qt::transparent);
    drawCentredText(painter, layout.category, entry.category.rawValue(), f.category, QBTheme::inkSecondary());

    for (const Part part : {Part::edit, Part::remove}) {
        const bool pressed = m_pressed && m_pressed->row == row && m_pressed->part == part;
        const QBButton::Look look = buttonLook(part, pressed);
        QBButton::paintFace(painter, part == Part::edit ? layout.edit : layout.remove, look, look.fill,
                            QString(), part == Part::edit ? QBIcon::pencil : QBIcon::trash,
                            kButtonSymbolSize);
    }
}

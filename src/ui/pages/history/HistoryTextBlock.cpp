#include "ui/pages/history/HistoryTextBlock.h"

#include "ui/theme/QBTheme.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <cmath>

namespace {
// Line breaks of the text become the layout's forced breaks; the text keeps its length, so positions in the
// layout are positions in the text.
QString layoutText(const QString& text)
{
    QString laid = text;
    laid.replace(u'\n', QChar::LineSeparator);
    return laid;
}

qreal layOut(QTextLayout& layout, qreal width, qreal lineSpacing)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    qreal y = 0;
    bool first = true;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        if (!first)
            y += lineSpacing;
        first = false;
        line.setLineWidth(std::max<qreal>(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}
} // namespace

HistoryTextBlock::HistoryTextBlock(const QFont& font, const QColor& color, qreal lineSpacing, QWidget* parent)
    : QWidget(parent), m_color(color), m_lineSpacing(lineSpacing)
{
    setFont(font);
    setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::ClickFocus);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    relayout();
}

HistoryTextBlock::~HistoryTextBlock() = default;

void HistoryTextBlock::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_anchor = m_cursor = 0;
    relayout();
    updateGeometry();
    update();
}

QString HistoryTextBlock::selectedText() const
{
    const int from = std::min(m_anchor, m_cursor);
    return m_text.mid(from, std::abs(m_cursor - m_anchor));
}

void HistoryTextBlock::selectAll()
{
    select(0, int(m_text.size()));
}

qreal HistoryTextBlock::heightFor(const QString& text, const QFont& font, qreal lineSpacing, qreal width)
{
    QTextLayout layout(layoutText(text), font);
    return std::ceil(layOut(layout, width, lineSpacing));
}

QSize HistoryTextBlock::sizeHint() const
{
    const int width = std::max(this->width(), 200);
    return QSize(width, heightForWidth(width));
}

int HistoryTextBlock::heightForWidth(int width) const
{
    return int(heightFor(m_text, font(), m_lineSpacing, width));
}

void HistoryTextBlock::relayout()
{
    m_layout = std::make_unique<QTextLayout>(layoutText(m_text), font());
    layOut(*m_layout, width(), m_lineSpacing);
}

void HistoryTextBlock::resizeEvent(QResizeEvent*)
{
    relayout();
}

void HistoryTextBlock::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(m_color);
    QList<QTextLayout::FormatRange> selections;
    if (m_anchor != m_cursor) {
        QTextLayout::FormatRange range;
        range.start = std::min(m_anchor, m_cursor);
        range.length = std::abs(m_cursor - m_anchor);
        range.format.setBackground(QBTheme::violet());
        range.format.setForeground(Qt::white);
        selections.append(range);
    }
    m_layout->draw(&painter, QPointF(0, 0), selections);
}

int HistoryTextBlock::positionAt(const QPointF& point) const
{
    const int count = m_layout->lineCount();
    if (count == 0)
        return 0;
    QTextLine line = m_layout->lineAt(0);
    for (int i = 0; i < count; ++i) {
        line = m_layout->lineAt(i);
        if (point.y() < line.y() + line.height() + m_lineSpacing / 2)
            break;
    }
    return line.xToCursor(point.x());
}

void HistoryTextBlock::select(int anchor, int cursor)
{
    if (anchor == m_anchor && cursor == m_cursor)
        return;
    m_anchor = anchor;
    m_cursor = cursor;
    update();
}

void HistoryTextBlock::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const int at = positionAt(event->position());
    m_selecting = true;
    if (event->modifiers() & Qt::ShiftModifier)
        select(m_anchor, at);
    else
        select(at, at);
}

void HistoryTextBlock::mouseMoveEvent(QMouseEvent* event)
{
    if (m_selecting)
        select(m_anchor, positionAt(event->position()));
}

void HistoryTextBlock::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_selecting || event->button() != Qt::LeftButton)
        return;
    m_selecting = false;
    // X11 pastes the selection with the middle button.
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && m_anchor != m_cursor)
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void HistoryTextBlock::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    // The word under the pointer.
    const int at = positionAt(event->position());
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, m_text);
    finder.setPosition(at);
    const int start = finder.isAtBoundary() ? at : int(finder.toPreviousBoundary());
    finder.setPosition(at);
    const int end = int(finder.toNextBoundary());
    if (start >= 0 && end > start)
        select(start, end);
    m_selecting = false;
}

void HistoryTextBlock::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (m_anchor != m_cursor)
            QGuiApplication::clipboard()->setText(selectedText());
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HistoryTextBlock::focusOutEvent(QFocusEvent* event)
{
    // The selection goes with the focus, as one selection at a time is all the page shows.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason)
        select(m_cursor, m_cursor);
    QWidget::focusOutEvent(event);
}

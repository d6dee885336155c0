#include "ui/pages/history/HistoryRecordList.h"

#include "ui/pages/history/HistoryRecordCard.h"

#include <QEvent>
#include <QResizeEvent>
#include <algorithm>

HistoryRecordList::HistoryRecordList(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("historyList"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

HistoryRecordList::~HistoryRecordList() = default;

void HistoryRecordList::setRecords(const QList<DictationRecord>& records)
{
    m_records = records;
    m_slots.assign(size_t(records.size()), Slot{});
    m_measuredCount = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const auto known = m_known.constFind(records[i].id);
        if (known != m_known.constEnd() && known->measuredWidth == width()) {
            m_slots[size_t(i)] = *known;
            ++m_measuredCount;
        } else {
            m_slots[size_t(i)].height = HistoryRecordCard::estimatedHeightFor(records[i], width());
        }
    }
    // What is no longer in the history is forgotten.
    QHash<QUuid, Slot> known;
    for (qsizetype i = 0; i < records.size(); ++i)
        known.insert(records[i].id, m_slots[size_t(i)]);
    m_known = std::move(known);
    updateTops();
    syncCards();
    scheduleMeasuring();
}

void HistoryRecordList::setCopiedRecord(const std::optional<QUuid>& id)
{
    m_copied = id;
    for (HistoryRecordCard* card : std::as_const(m_built))
        card->setCopied(m_copied == card->recordId());
}

QList<HistoryRecordCard*> HistoryRecordList::builtCards() const
{
    QList<HistoryRecordCard*> cards = m_built.values();
    std::sort(cards.begin(), cards.end(), [](const QWidget* a, const QWidget* b) { return a->y() < b->y(); });
    return cards;
}

HistoryRecordCard* HistoryRecordList::cardFor(const QUuid& id) const
{
    return m_built.value(id, nullptr);
}

int HistoryRecordList::recordTop(qsizetype index) const
{
    return index >= 0 && size_t(index) < m_tops.size() ? m_tops[size_t(index)] : 0;
}

QSize HistoryRecordList::sizeHint() const
{
    return QSize(200, m_totalHeight);
}

void HistoryRecordList::updateTops()
{
    m_tops.resize(m_slots.size());
    int y = 0;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        m_tops[i] = y;
        y += m_slots[i].height + (i + 1 < m_slots.size() ? kSpacing : 0);
    }
    if (y != m_totalHeight) {
        m_totalHeight = y;
        updateGeometry();
    }
}

void HistoryRecordList::measure(qsizetype index)
{
    Slot& slot = m_slots[size_t(index)];
    if (slot.measuredWidth == width())
        return;
    if (slot.measuredWidth < 0)
        ++m_measuredCount;
    slot.height = HistoryRecordCard::heightFor(m_records[index], width());
    slot.measuredWidth = width();
    m_known.insert(m_records[index].id, slot);
}

QRect HistoryRecordList::visibleArea() const
{
    // Clipped by every ancestor up to the window: inside a scroll area, that is the part its viewport shows.
    QRect area = rect();
    QPoint offset;
    const QWidget* widget = this;
    while (const QWidget* parent = widget->parentWidget()) {
        offset += widget->pos();
        area = area.translated(widget->pos()) & parent->rect();
        if (widget->isWindow())
            break;
        widget = parent;
    }
    return area.translated(-offset);
}

void HistoryRecordList::syncCards()
{
    // Until it is shown the list has no width of its own to measure at.
    if (m_syncing || !isVisible())
        return;
    m_syncing = true;
    const QRect visible = visibleArea();
    QSet<QUuid> wanted;
    if (!visible.isEmpty() && !m_records.isEmpty()) {
        const int from = visible.top() - kBuildMargin;
        const int to = visible.bottom() + kBuildMargin;
        // The first record whose bottom reaches into the range.
        auto first = std::upper_bound(m_tops.begin(), m_tops.end(), from);
        qsizetype i = std::max<qsizetype>(0, (first - m_tops.begin()) - 1);
        bool changed = false;
        for (; i < m_records.size() && m_tops[size_t(i)] <= to; ++i) {
            const int before = m_slots[size_t(i)].height;
            measure(i);
            if (m_slots[size_t(i)].height != before) {
                changed = true;
                // The records below move with this one's new height.
                for (size_t j = size_t(i) + 1; j < m_tops.size(); ++j)
                    m_tops[j] += m_slots[size_t(i)].height - before;
            }
            if (m_tops[size_t(i)] + m_slots[size_t(i)].height >= from)
                wanted.insert(m_records[i].id);
        }
        if (changed)
            updateTops();
    }

    for (auto it = m_built.begin(); it != m_built.end();) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        it.value()->hide();
        m_spare.append(it.value());
        it = m_built.erase(it);
    }
    for (qsizetype i = 0; i < m_records.size(); ++i) {
        const DictationRecord& record = m_records[i];
        if (!wanted.contains(record.id))
            continue;
        HistoryRecordCard* card = m_built.value(record.id, nullptr);
        if (!card) {
            card = m_spare.isEmpty() ? nullptr : m_spare.takeLast();
            if (!card) {
                card = new HistoryRecordCard(this);
                connect(card, &HistoryRecordCard::copyClicked, this, [this, card] {
                    for (const DictationRecord& r : std::as_const(m_records)) {
                        if (r.id == card->recordId()) {
                            Q_EMIT copyRequested(r);
                            return;
                        }
                    }
                });
            }
            card->setRecord(record);
            m_built.insert(record.id, card);
        }
        card->setCopied(m_copied == record.id);
        card->setGeometry(0, m_tops[size_t(i)], width(), m_slots[size_t(i)].height);
        card->show();
    }
    m_syncing = false;
}

void HistoryRecordList::scheduleMeasuring()
{
    if (isFullyMeasured() || m_measurePending)
        return;
    // The next turn of the event loop, not a delay: input and painting queued meanwhile go first. Dropped
    // with the list.
    m_measurePending = true;
    QMetaObject::invokeMethod(this, &HistoryRecordList::measureBatch, Qt::QueuedConnection);
}

void HistoryRecordList::measureBatch()
{
    m_measurePending = false;
    int measured = 0;
    for (qsizetype i = 0; i < m_records.size() && measured < kMeasureBatch; ++i) {
        if (m_slots[size_t(i)].measuredWidth == width())
            continue;
        measure(i);
        ++measured;
    }
    updateTops();
    syncCards();
    scheduleMeasuring();
}

void HistoryRecordList::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (event->size().width() != event->oldSize().width()) {
        // Heights of another width say little about this one: guess again until measured.
        m_measuredCount = 0;
        for (qsizetype i = 0; i < m_records.size(); ++i) {
            Slot& slot = m_slots[size_t(i)];
            if (slot.measuredWidth == width())
                ++m_measuredCount;
            else
                slot = {HistoryRecordCard::estimatedHeightFor(m_records[i], width()), -1};
        }
        updateTops();
    }
    syncCards();
    scheduleMeasuring();
}

bool HistoryRecordList::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::ParentChange:
    case QEvent::Show:
        watchAncestors();
        syncCards();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void HistoryRecordList::watchAncestors()
{
    for (const QPointer<QWidget>& watched : std::as_const(m_watched)) {
        if (watched)
            watched->removeEventFilter(this);
    }
    m_watched.clear();
    // Scrolling moves an ancestor (the scroll area's content), resizing the window resizes the viewport.
    for (QWidget* ancestor = parentWidget(); ancestor; ancestor = ancestor->parentWidget()) {
        ancestor->installEventFilter(this);
        m_watched.append(ancestor);
        if (ancestor->isWindow())
            break;
    }
}

bool HistoryRecordList::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
        syncCards();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

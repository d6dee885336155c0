#pragma once

#include "model/Records.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <optional>
#include <vector>

class HistoryRecordCard;

// The history as a column of record cards that builds only the cards near the visible part of the window.
// It takes the full height of all records, so the page's scroll area scrolls it as one; each record's height
// is measured from its texts (the visible ones at once, the rest a few at a time on later turns of the event
// loop, estimated until then), and a handful of cards are bound to whichever records come into view.
class HistoryRecordList final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSpacing = 12;
    // Records measured per turn of the event loop once the visible ones are.
    static constexpr int kMeasureBatch = 24;
    // How far beyond the visible part cards are kept built, in pixels.
    static constexpr int kBuildMargin = 400;

    explicit HistoryRecordList(QWidget* parent = nullptr);
    ~HistoryRecordList() override;

    void setRecords(const QList<DictationRecord>& records);
    const QList<DictationRecord>& records() const { return m_records; }
    void setCopiedRecord(const std::optional<QUuid>& id);

    // The cards bound to a record now, top to bottom.
    QList<HistoryRecordCard*> builtCards() const;
    HistoryRecordCard* cardFor(const QUuid& id) const;
    // Whether every record's height is measured (not estimated) at the current width.
    bool isFullyMeasured() const { return m_measuredCount == m_records.size(); }
    // The top of a record in the list, for scrolling to it.
    int recordTop(qsizetype index) const;

    QSize sizeHint() const override;

Q_SIGNALS:
    void copyRequested(const DictationRecord& record);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Slot {
        int height = 0;
        int measuredWidth = -1; // the width `height` was measured at; -1: an estimate
    };

    void watchAncestors();
    QRect visibleArea() const;
    void measure(qsizetype index);
    int estimate(const DictationRecord& record) const;
    void updateTops();
    void syncCards();
    void scheduleMeasuring();
    void measureBatch();

    QList<DictationRecord> m_records;
    std::vector<Slot> m_slots;
    std::vector<int> m_tops;
    int m_totalHeight = 0;
    qsizetype m_measuredCount = 0;
    // Heights measured earlier, by record, so a new history keeps what it already knew.
    QHash<QUuid, Slot> m_known;
    std::optional<QUuid> m_copied;
    QHash<QUuid, HistoryRecordCard*> m_built;
    QList<HistoryRecordCard*> m_spare;
    QList<QPointer<QWidget>> m_watched;
    bool m_measurePending = false;
    bool m_syncing = false;
};

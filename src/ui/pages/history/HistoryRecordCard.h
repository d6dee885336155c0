#pragma once

#include "model/Records.h"
#include "ui/widgets/QBCard.h"

class HistoryTextBlock;
class QBButton;
class QBPill;
class QBTextLabel;

// One history record: the mode badge, the target application, the timings and the copy button; the polished
// text; the raw transcript where polishing changed it. The card lays its parts out itself, by the same
// arithmetic heightFor() uses, so a list can size records it has not built. A card is rebound to another
// record as the list scrolls.
class HistoryRecordCard final : public QBCard {
    Q_OBJECT
public:
    explicit HistoryRecordCard(QWidget* parent = nullptr);

    void setRecord(const DictationRecord& record);
    const QUuid& recordId() const { return m_id; }
    void setCopied(bool copied);
    bool isCopied() const { return m_copied; }

    QBButton* copyButton() const { return m_copy; }
    HistoryTextBlock* polishedText() const { return m_polished; }
    HistoryTextBlock* rawText() const { return m_raw; }
    QWidget* rawBlock() const { return m_rawBlock; }

    static int heightFor(const DictationRecord& record, int width);
    // A quick guess at heightFor() from the texts' lengths, for records not measured yet.
    static int estimatedHeightFor(const DictationRecord& record, int width);

Q_SIGNALS:
    void copyClicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layOutParts();

    QUuid m_id;
    bool m_copied = false;
    QBPill* m_modeBadge;
    QBTextLabel* m_targetApp;
    QBTextLabel* m_timings;
    QBButton* m_copy;
    HistoryTextBlock* m_polished;
    QWidget* m_rawBlock;
    QBTextLabel* m_rawLabel;
    HistoryTextBlock* m_raw;
};

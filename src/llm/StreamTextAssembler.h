#pragma once

#include <QString>

// Builds the answer of a streamed model call piece by piece: strips the "<raw_speech>" tags the model may
// echo, also when a tag is split across pieces, and spaces Chinese from Latin at the seams between pieces.
class StreamTextAssembler {
public:
    explicit StreamTextAssembler(bool enablePanguSpacing) : m_panguSpacing(enablePanguSpacing) {}

    // The cleaned piece to append and show for one streamed content piece; empty when nothing is to be shown
    // yet. A trailing "<…" that may still become a tag is held back until the next piece decides it.
    QString push(const QString& content);
    // At the end of the stream: what was held back, now known not to be a tag (possibly empty).
    QString finish();

    // Everything returned so far, concatenated.
    const QString& accumulated() const { return m_accumulated; }

private:
    QString emit(const QString& cleaned);

    bool m_panguSpacing;
    QString m_heldBack;
    QString m_accumulated;
};

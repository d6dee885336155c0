#pragma once

#include "ui/widgets/QBCard.h"

class EngineStatusDot;
class QBIconView;
class QBPill;
class QBTextLabel;
class QHBoxLayout;
class QLabel;
class QVariantAnimation;

// The selectable, expandable card of the engine and model settings: a header row (chevron, status dot, title
// with its tag, the subtitle while selected or expanded, the caller's trailing pills and the status badge)
// and, while expanded, a hairline and the card's own rows. Which card is expanded is the caller's state: a
// click on the header only emits headerClicked(). On screen, opening and closing ease: the body unrolls from
// under the header and rolls back up.
class QBExpandableCard final : public QBCard {
    Q_OBJECT
public:
    static constexpr int kRevealMs = 140;

    QBExpandableCard(const QString& title, const QString& tag, const QString& subtitle,
                     QWidget* parent = nullptr);

    void setSelected(bool selected);
    void setExpanded(bool expanded);
    bool isSelected() const { return m_selected; }
    bool isExpanded() const { return m_expanded; }
    void setTag(const QString& tag);
    // A tag that names a model or a pack is set in the monospaced design.
    void setMonospacedTag(bool monospaced);
    // Keeps the expanded look but shows no body: a card that shows a row of its own in its place (a running
    // download) whether or not it is expanded.
    void setBodySuppressed(bool suppressed);
    void setSubtitle(const QString& subtitle);

    // Before the status badge, e.g. the key pill.
    void addTrailing(QWidget* widget);
    QVBoxLayout* bodyLayout() const { return m_bodyLayout; }
    QWidget* header() const { return m_header; }
    // How much of the body shows: 0 none, 1 all of it; between the two while opening or closing.
    qreal revealProgress() const { return m_revealProgress; }
    QVariantAnimation* revealAnimation() const { return m_revealAnimation; }

Q_SIGNALS:
    void headerClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyState(bool animated = false);
    void applyReveal(qreal progress);
    void applyHeaderShape();
    void layOutNow();

    bool m_selected = false;
    bool m_expanded = false;
    bool m_monospacedTag = false;
    bool m_bodySuppressed = false;
    QWidget* m_header;
    QHBoxLayout* m_headerLayout;
    QBIconView* m_chevron;
    EngineStatusDot* m_dot;
    QLabel* m_title;
    QBPill* m_tag;
    QLabel* m_subtitle; // wraps when the card is narrow
    QWidget* m_subtitleGap;
    QBPill* m_badge;
    // Holds the divider and the body; its height is what opening and closing animate.
    QWidget* m_reveal;
    QWidget* m_divider;
    QWidget* m_body;
    QVariantAnimation* m_revealAnimation;
    qreal m_revealProgress = 0;
    qreal m_revealTarget = 0;
    QVBoxLayout* m_bodyLayout;
};

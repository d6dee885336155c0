#include "ui/pages/history/HistoryListSection.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "system/ContextInjector.h"
#include "ui/pages/history/HistoryFormat.h"
#include "ui/pages/history/HistoryRecordList.h"
#include "ui/theme/QBIcons.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBInput.h"
#include "ui/widgets/QBTextLabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>

namespace {
constexpr int kPageSpacing = 18;
constexpr int kQuickFixSpacing = 10;
constexpr qreal kQuickFixIconSize = 13.5;

// An icon of the bundled set in one colour, drawn at the painter's pixel ratio.
class IconView final : public QWidget {
public:
    IconView(QBIcon icon, qreal size, QColor color, QWidget* parent)
        : QWidget(parent), m_icon(icon), m_size(size), m_color(std::move(color))
    {
        setFixedSize(int(std::ceil(size)), int(std::ceil(size)));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QBIcons::paint(painter, QRectF(rect()), m_icon, m_size, m_color);
    }

private:
    QBIcon m_icon;
    qreal m_size;
    QColor m_color;
};
} // namespace

HistoryListSection::HistoryListSection(AppState& state, QWidget* parent)
    : DashboardPage(parent), m_state(state)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kPageSpacing);
    m_header = new QBEditorialHeader(
        HistoryFormat::archiveBadge(state.history().size()), QStringLiteral("口述历史与原声对照"),
        QStringLiteral("保留每一条声学原稿与大模型结构化成品对照 ｜ 发现偶发误听可一键回流至专属词库"), this);
    m_header->setObjectName(QStringLiteral("historyHeader"));
    layout->addWidget(m_header);
    layout->addWidget(buildQuickFixCard());
    m_list = new HistoryRecordList(this);
    connect(m_list, &HistoryRecordList::copyRequested, this, &HistoryListSection::copyRecord);
    layout->addWidget(m_list);
    layout->addWidget(buildEmptyCard());
    refresh();
}

QWidget* HistoryListSection::buildQuickFixCard()
{
    auto* card = new QBCard(13, 14, this);
    card->setObjectName(QStringLiteral("quickFixCard"));
    auto* row = new QHBoxLayout;
    row->setSpacing(kQuickFixSpacing);
    row->addWidget(new IconView(QBIcon::wand, kQuickFixIconSize, QBTheme::violet(), card), 0,
                   Qt::AlignVCenter);
    m_quickFixTerm = new QLineEdit(card);
    m_quickFixTerm->setObjectName(QStringLiteral("quickFixTerm"));
    m_quickFixTerm->setPlaceholderText(QStringLiteral("正确标准词（如 DeepSeek）"));
    qbInputStyle(m_quickFixTerm);
    row->addWidget(m_quickFixTerm, 1);
    m_quickFixAlias = new QLineEdit(card);
    m_quickFixAlias->setObjectName(QStringLiteral("quickFixAlias"));
    m_quickFixAlias->setPlaceholderText(QStringLiteral("刚才被误听成的词（如 迪普西克）"));
    qbInputStyle(m_quickFixAlias);
    row->addWidget(m_quickFixAlias, 1);
    auto* button = new QBButton(QBButton::Kind::primary, QStringLiteral("记入词库纠偏"), card);
    button->setObjectName(QStringLiteral("quickFixButton"));
    connect(button, &QBButton::clicked, this, &HistoryListSection::applyQuickFix);
    row->addWidget(button, 0, Qt::AlignVCenter);
    card->contentLayout()->addLayout(row);
    return card;
}

QWidget* HistoryListSection::buildEmptyCard()
{
    m_emptyCard = new QBCard(14, 26, this);
    m_emptyCard->setObjectName(QStringLiteral("historyEmptyCard"));
    m_emptyCard->contentLayout()->setSpacing(6);
    m_emptyCard->contentLayout()->addWidget(new QBTextLabel(QStringLiteral("尚无口述记录"),
                                                            QBTheme::font(15, QFont::DemiBold),
                                                            QBTheme::inkPrimary(), m_emptyCard));
    m_emptyLine = new QLabel(m_emptyCard);
    m_emptyLine->setObjectName(QStringLiteral("historyEmptyLine"));
    m_emptyLine->setTextFormat(Qt::PlainText);
    m_emptyLine->setWordWrap(true);
    m_emptyLine->setFont(QBTheme::font(13));
    QPalette palette = m_emptyLine->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkSecondary());
    m_emptyLine->setPalette(palette);
    m_emptyCard->contentLayout()->addWidget(m_emptyLine);
    return m_emptyCard;
}

void HistoryListSection::refresh()
{
    const QList<DictationRecord>& history = m_state.history();
    // During a dictation the state changes many times a second; the list only when the history does.
    if (!m_listShown || !history.isSharedWith(m_shownHistory)) {
        m_shownHistory = history;
        m_listShown = true;
        m_header->setBadge(HistoryFormat::archiveBadge(history.size()));
        m_list->setRecords(history);
        m_list->setVisible(!history.isEmpty());
        m_emptyCard->setVisible(history.isEmpty());
    }
    if (history.isEmpty()) {
        const QString line = HistoryFormat::emptyLine(m_state.activeTriggerDisplayName());
        if (m_emptyLine->text() != line)
            m_emptyLine->setText(line);
    }
}

void HistoryListSection::applyQuickFix()
{
    const QString term = m_quickFixTerm->text();
    if (HistoryFormat::isBlankTerm(term))
        return;
    const QString alias = m_quickFixAlias->text();
    const QStringList aliases = alias.isEmpty() ? QStringList() : QStringList{alias};
    // The store trims the term and refuses one that is too short; a refusal is said so, and the fields keep
    // their text to be corrected.
    if (!m_state.lexiconStore().upsert(term, aliases, LexiconCategory::project, kQuickFixWeight)) {
        m_state.setStatusBanner(HistoryFormat::quickFixRefusedBanner(term));
        return;
    }
    m_state.setStatusBanner(HistoryFormat::quickFixAddedBanner(term));
    m_quickFixTerm->clear();
    m_quickFixAlias->clear();
}

void HistoryListSection::copyRecord(const DictationRecord& record)
{
    // An empty text leaves the clipboard as it was: nothing was copied, so nothing says so.
    if (record.polishedText.isEmpty())
        return;
    m_state.contextInjector().saveToSafetyClipboard(record.polishedText);
    m_copiedRecordID = record.id;
    m_list->setCopiedRecord(m_copiedRecordID);
    // A later copy replaces this timer: the newer marker runs its own full time.
    m_copiedRevert = ScheduledWork(
        &m_state.scheduler(), m_state.scheduler().schedule(kCopiedMarkerDuration, [this, id = record.id] {
            m_copiedRevert = ScheduledWork();
            if (m_copiedRecordID == id) {
                m_copiedRecordID.reset();
                m_list->setCopiedRecord(std::nullopt);
            }
        }));
}

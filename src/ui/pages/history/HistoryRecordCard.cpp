#include "ui/pages/history/HistoryRecordCard.h"

#include "ui/pages/history/HistoryFormat.h"
#include "ui/pages/history/HistoryTextBlock.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"

#include <QPainter>
#include <cmath>

namespace {
constexpr qreal kRadius = 14;
constexpr int kPadding = 16;
constexpr int kSpacing = 10;
constexpr int kHeaderSpacing = 8;
constexpr qreal kPolishedLineSpacing = 4;
constexpr int kRawPaddingH = 10;
constexpr int kRawPaddingV = 7;
constexpr int kRawSpacing = 6;
constexpr int kRawLabelTop = 1;
constexpr qreal kRawRadius = 8;
constexpr qreal kCopyIconSize = 10.5;
constexpr qreal kCopyIconSpacing = 4;

QFont polishedFont()
{
    return QBTheme::font(14.5);
}
QFont rawFont()
{
    return QBTheme::font(12);
}
QFont rawLabelFont()
{
    return QBTheme::font(10.5, QFont::DemiBold, QBTheme::FontDesign::monospaced);
}

QBPill::Look modeBadgeLook()
{
    QBPill::Look look;
    look.font = QBTheme::font(10.5, QFont::DemiBold);
    look.text = QBTheme::violet();
    look.fill = QBTheme::lilacTint();
    look.paddingH = 8;
    look.paddingV = 2.5;
    return look;
}

QString copyText(bool copied)
{
    return copied ? QStringLiteral("已复制") : QStringLiteral("复制");
}

// The fixed measures of a card, the same for every record.
struct Measures {
    int headerHeight = 0;
    int rawLabelWidth = 0;
    int rawLabelHeight = 0;
};
const Measures& measures()
{
    static const Measures m = [] {
        Measures result;
        // The tallest part of the header row is the copy button; the longer of its two labels sets its width.
        QBButton button(QBButton::Kind::secondary, copyText(true), nullptr, true);
        button.setLeadingIcon(QBIcon::check, kCopyIconSize, kCopyIconSpacing);
        const QBPill badge(HistoryFormat::modeBadge(DictationMode::dictate), modeBadgeLook());
        const QFontMetricsF app(QBTheme::font(12, QFont::DemiBold));
        const QFontMetricsF timings(QBTheme::font(11, QFont::Medium, QBTheme::FontDesign::monospaced));
        result.headerHeight = std::max({button.sizeHint().height(), badge.sizeHint().height(),
                                        int(std::ceil(app.height())), int(std::ceil(timings.height()))});
        const QFontMetricsF label(rawLabelFont());
        result.rawLabelWidth = int(std::ceil(label.horizontalAdvance(QStringLiteral("声学原稿"))));
        result.rawLabelHeight = int(std::ceil(label.height()));
        return result;
    }();
    return m;
}

int rawTextWidth(int contentWidth)
{
    return std::max(1, contentWidth - 2 * kRawPaddingH - measures().rawLabelWidth - kRawSpacing);
}

int rawBlockHeight(int textHeight)
{
    return 2 * kRawPaddingV + std::max(kRawLabelTop + measures().rawLabelHeight, textHeight);
}

// The raw transcript's well.
class RawWell final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        QBPaint::roundedRect(painter, QRectF(rect()), kRawRadius, QBTheme::softWell(), Qt::transparent);
    }
};
} // namespace

HistoryRecordCard::HistoryRecordCard(QWidget* parent) : QBCard(kRadius, kPadding, parent)
{
    setObjectName(QStringLiteral("historyCard"));
    m_modeBadge = new QBPill(QString(), modeBadgeLook(), this);
    m_modeBadge->setObjectName(QStringLiteral("modeBadge"));
    m_targetApp =
        new QBTextLabel(QString(), QBTheme::font(12, QFont::DemiBold), QBTheme::inkSecondary(), this);
    m_targetApp->setObjectName(QStringLiteral("targetApp"));
    m_timings = new QBTextLabel(QString(), QBTheme::font(11, QFont::Medium, QBTheme::FontDesign::monospaced),
                                QBTheme::inkMuted(), this);
    m_timings->setObjectName(QStringLiteral("timings"));
    m_copy = new QBButton(QBButton::Kind::secondary, copyText(false), this, true);
    m_copy->setObjectName(QStringLiteral("copyButton"));
    m_copy->setLeadingIcon(QBIcon::copy, kCopyIconSize, kCopyIconSpacing);
    connect(m_copy, &QBButton::clicked, this, &HistoryRecordCard::copyClicked);
    m_polished = new HistoryTextBlock(polishedFont(), QBTheme::inkPrimary(), kPolishedLineSpacing, this);
    m_polished->setObjectName(QStringLiteral("polishedText"));
    m_rawBlock = new RawWell(this);
    m_rawBlock->setObjectName(QStringLiteral("rawBlock"));
    m_rawLabel = new QBTextLabel(QStringLiteral("声学原稿"), rawLabelFont(), QBTheme::inkMuted(), m_rawBlock);
    m_raw = new HistoryTextBlock(rawFont(), QBTheme::inkSecondary(), 0, m_rawBlock);
    m_raw->setObjectName(QStringLiteral("rawText"));
}

void HistoryRecordCard::setRecord(const DictationRecord& record)
{
    m_id = record.id;
    m_modeBadge->setText(HistoryFormat::modeBadge(record.mode));
    m_modeBadge->updateGeometry();
    m_targetApp->setText(HistoryFormat::targetApp(record.targetAppName));
    m_timings->setText(HistoryFormat::timings(record.polishLatencyMs, record.durationSeconds));
    m_polished->setText(record.polishedText);
    const bool raw = HistoryFormat::showsRawTranscript(record);
    m_raw->setText(raw ? record.rawTranscript : QString());
    m_rawBlock->setVisible(raw);
    layOutParts();
}

void HistoryRecordCard::setCopied(bool copied)
{
    if (copied == m_copied)
        return;
    m_copied = copied;
    m_copy->setText(copyText(copied));
    m_copy->setLeadingIcon(copied ? QBIcon::check : QBIcon::copy, kCopyIconSize, kCopyIconSpacing);
    layOutParts();
}

int HistoryRecordCard::heightFor(const DictationRecord& record, int width)
{
    const int content = std::max(1, width - 2 * kPadding);
    int height =
        2 * kPadding + measures().headerHeight + kSpacing +
        int(HistoryTextBlock::heightFor(record.polishedText, polishedFont(), kPolishedLineSpacing, content));
    if (HistoryFormat::showsRawTranscript(record))
        height += kSpacing + rawBlockHeight(int(HistoryTextBlock::heightFor(record.rawTranscript, rawFont(),
                                                                            0, rawTextWidth(content))));
    return height;
}

int HistoryRecordCard::estimatedHeightFor(const DictationRecord& record, int width)
{
    const int content = std::max(1, width - 2 * kPadding);
    // Wide (CJK) characters take about one em, the others about half of one.
    const auto estimate = [](const QString& text, const QFont& font, qreal lineSpacing, qreal lineWidth) {
        const QFontMetricsF metrics(font);
        const qreal em = metrics.height() * 0.72;
        qreal advance = 0;
        int lines = 1;
        for (QChar c : text) {
            if (c == u'\n') {
                ++lines;
                continue;
            }
            if (!c.isLowSurrogate())
                advance += c.unicode() >= 0x2E80 ? em : em * 0.55;
        }
        lines += int(advance / std::max<qreal>(1, lineWidth));
        return int(std::ceil(lines * metrics.height() + (lines - 1) * lineSpacing));
    };
    int height = 2 * kPadding + measures().headerHeight + kSpacing +
                 estimate(record.polishedText, polishedFont(), kPolishedLineSpacing, content);
    if (HistoryFormat::showsRawTranscript(record))
        height +=
            kSpacing + rawBlockHeight(estimate(record.rawTranscript, rawFont(), 0, rawTextWidth(content)));
    return height;
}

void HistoryRecordCard::resizeEvent(QResizeEvent* event)
{
    QBCard::resizeEvent(event);
    layOutParts();
}

void HistoryRecordCard::layOutParts()
{
    const Measures& m = measures();
    const int content = std::max(1, width() - 2 * kPadding);
    const int top = kPadding;
    const auto centred = [&](QWidget* part, int x, int w) {
        const int h = part->sizeHint().height();
        part->setGeometry(x, top + (m.headerHeight - h) / 2, w, h);
    };
    // Right to left: the copy button, the timings; the application takes what is left after the badge.
    const QSize copy = m_copy->sizeHint();
    const int copyLeft = kPadding + content - copy.width();
    centred(m_copy, copyLeft, copy.width());
    const int timingsWidth = m_timings->sizeHint().width();
    const int timingsLeft = copyLeft - kHeaderSpacing - timingsWidth;
    centred(m_timings, timingsLeft, timingsWidth);
    const int badgeWidth = m_modeBadge->sizeHint().width();
    centred(m_modeBadge, kPadding, badgeWidth);
    const int appLeft = kPadding + badgeWidth + kHeaderSpacing;
    centred(m_targetApp, appLeft,
            std::max(0, std::min(m_targetApp->sizeHint().width(), timingsLeft - kHeaderSpacing - appLeft)));

    int y = top + m.headerHeight + kSpacing;
    const int polished =
        int(HistoryTextBlock::heightFor(m_polished->text(), polishedFont(), kPolishedLineSpacing, content));
    m_polished->setGeometry(kPadding, y, content, polished);
    y += polished;
    if (m_rawBlock->isVisibleTo(this)) {
        y += kSpacing;
        const int textWidth = rawTextWidth(content);
        const int textHeight = int(HistoryTextBlock::heightFor(m_raw->text(), rawFont(), 0, textWidth));
        const int blockHeight = rawBlockHeight(textHeight);
        m_rawBlock->setGeometry(kPadding, y, content, blockHeight);
        m_rawLabel->setGeometry(kRawPaddingH, kRawPaddingV + kRawLabelTop, m.rawLabelWidth, m.rawLabelHeight);
        m_raw->setGeometry(kRawPaddingH + m.rawLabelWidth + kRawSpacing, kRawPaddingV, textWidth, textHeight);
    }
}

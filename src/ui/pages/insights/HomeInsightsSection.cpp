#include "ui/pages/insights/HomeInsightsSection.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "ui/pages/insights/ActivityHeatmapGrid.h"
#include "ui/pages/insights/EditorialStatColumn.h"
#include "ui/pages/insights/InsightsFormat.h"
#include "ui/pages/insights/SandboxEditor.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBTextLabel.h"

#include <QCoroTask>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <cmath>

namespace {
constexpr int kPageSpacing = 22;
constexpr qreal kCardRadius = 15;
constexpr qreal kCardPadding = 22;
constexpr int kHeatmapCardSpacing = 16;
constexpr int kTryOutCardSpacing = 12;
constexpr qreal kHairlineHeight = 54;
constexpr int kHairlinePadding = 18;
constexpr qreal kSwatchSize = 10;
constexpr qreal kSwatchRadius = 2.5;
constexpr qreal kLegendSpacing = 5;
constexpr qreal kButtonIconSize = 11;
constexpr qreal kButtonIconSpacing = 6;
// The legend's swatches: the colour of each of these day counts.
constexpr qint64 kLegendCounts[] = {0, 120, 450, 1000};

QFont titleFont()
{
    return QBTheme::font(15, QFont::DemiBold);
}
QFont legendFont()
{
    return QBTheme::font(10.5);
}

// The 1-pt rule between two stat columns, with room on either side.
class VerticalHairline final : public QWidget {
public:
    explicit VerticalHairline(QWidget* parent) : QWidget(parent)
    {
        setFixedSize(1 + 2 * kHairlinePadding, int(kHairlineHeight));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(QRectF(kHairlinePadding, 0, 1, kHairlineHeight), QBTheme::hairline());
    }
};

// "少", the four swatches, "多"; its text sits on the baseline of the title beside it.
class HeatmapLegend final : public QWidget {
public:
    explicit HeatmapLegend(QWidget* parent) : QWidget(parent)
    {
        const QFontMetricsF metrics(legendFont());
        const qreal width = metrics.horizontalAdvance(QStringLiteral("少")) +
                            metrics.horizontalAdvance(QStringLiteral("多")) +
                            std::size(kLegendCounts) * kSwatchSize +
                            (std::size(kLegendCounts) + 1) * kLegendSpacing;
        m_baseline = QFontMetricsF(titleFont()).ascent();
        setFixedSize(int(std::ceil(width)), int(std::ceil(m_baseline + metrics.descent())));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing);
        const QFont font = legendFont();
        const QFontMetricsF metrics(font);
        painter.setFont(font);
        painter.setPen(QBTheme::inkMuted());
        // The swatches are centred on the text's line.
        const qreal middle = m_baseline - metrics.ascent() + metrics.height() / 2;
        qreal x = 0;
        painter.drawText(QPointF(x, m_baseline), QStringLiteral("少"));
        x += metrics.horizontalAdvance(QStringLiteral("少")) + kLegendSpacing;
        for (qint64 count : kLegendCounts) {
            QBPaint::roundedRect(painter, QRectF(x, middle - kSwatchSize / 2, kSwatchSize, kSwatchSize),
                                 kSwatchRadius, ActivityHeatmapGrid::cellColor(count), Qt::transparent);
            x += kSwatchSize + kLegendSpacing;
        }
        painter.drawText(QPointF(x, m_baseline), QStringLiteral("多"));
    }

private:
    qreal m_baseline = 0;
};

// The try-out box's state dot: crimson while listening, violet otherwise.
class StateDot final : public QWidget {
public:
    explicit StateDot(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }
    void setColor(const QColor& color)
    {
        if (color == property("color").value<QColor>())
            return;
        setProperty("color", color);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(property("color").value<QColor>());
        painter.drawEllipse(QRectF(rect()));
    }
};

QBCard* card(QWidget* parent, int spacing)
{
    auto* card = new QBCard(kCardRadius, kCardPadding, parent);
    card->contentLayout()->setSpacing(spacing);
    return card;
}
} // namespace

HomeInsightsSection::HomeInsightsSection(AppState& state, QWidget* parent)
    : DashboardPage(parent), m_state(state)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kPageSpacing);
    auto* header = new QBEditorialHeader(
        QStringLiteral("ZERO-LATENCY VOICE ENGINE · V0.4"), QStringLiteral("说话，不要打字"),
        QStringLiteral(
            "端侧 SenseVoice 16kHz 单字匀速流式生长 ｜ 云端 DeepSeek 4 Flash 亚秒级结构化排版与专属词库纠偏"),
        this);
    header->setObjectName(QStringLiteral("insightsHeader"));
    layout->addWidget(header);
    layout->addWidget(buildStatsCard());
    layout->addWidget(buildHeatmapCard());
    layout->addWidget(buildTryOutCard());
    refresh();
}

QWidget* HomeInsightsSection::buildStatsCard()
{
    auto* stats = card(this, 0);
    stats->setObjectName(QStringLiteral("statsCard"));
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    struct Column {
        const char* name;
        QString unit;
        QString label;
        bool highlight;
    };
    const Column columns[] = {
        {"statCharacters", QStringLiteral("字"), QStringLiteral("累计口述成稿"), true},
        {"statSavedMinutes", QStringLiteral("分钟"), QStringLiteral("累计节省敲键时间"), false},
        {"statSpeed", QStringLiteral("字/分"), QStringLiteral("平均口述吞吐语速"), false},
        {"statLatency", QStringLiteral("ms"), QStringLiteral("云端平均首包延迟"), false},
    };
    for (const Column& c : columns) {
        if (!m_columns.isEmpty())
            row->addWidget(new VerticalHairline(stats), 0, Qt::AlignVCenter);
        auto* column = new EditorialStatColumn(c.unit, c.label, c.highlight, stats);
        column->setObjectName(QLatin1String(c.name));
        row->addWidget(column, 1, Qt::AlignVCenter);
        m_columns.append(column);
    }
    stats->contentLayout()->addLayout(row);
    return stats;
}

QWidget* HomeInsightsSection::buildHeatmapCard()
{
    auto* heat = card(this, kHeatmapCardSpacing);
    heat->setObjectName(QStringLiteral("heatmapCard"));
    auto* headerRow = new QHBoxLayout;
    headerRow->setSpacing(8);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(
        new QBTextLabel(QStringLiteral("创作节律热力矩阵"), titleFont(), QBTheme::inkPrimary(), heat));
    m_heatmapLine = new QBTextLabel(QString(), QBTheme::font(12), QBTheme::inkSecondary(), heat);
    m_heatmapLine->setObjectName(QStringLiteral("heatmapLine"));
    titles->addWidget(m_heatmapLine);
    headerRow->addLayout(titles, 1);
    auto* legend = new HeatmapLegend(heat);
    legend->setObjectName(QStringLiteral("heatmapLegend"));
    headerRow->addWidget(legend, 0, Qt::AlignTop);
    heat->contentLayout()->addLayout(headerRow);
    m_heatmap =
        new ActivityHeatmapGrid(m_state.scheduler().clock(), kHeatmapWeeks, kHeatmapDaysPerWeek, heat);
    m_heatmap->setObjectName(QStringLiteral("heatmapGrid"));
    heat->contentLayout()->addWidget(m_heatmap);
    return heat;
}

QWidget* HomeInsightsSection::buildTryOutCard()
{
    auto* tryOut = card(this, kTryOutCardSpacing);
    tryOut->setObjectName(QStringLiteral("tryOutCard"));
    auto* headerRow = new QHBoxLayout;
    headerRow->setSpacing(8);
    auto* dot = new StateDot(tryOut);
    dot->setObjectName(QStringLiteral("tryOutDot"));
    m_listeningDot = dot;
    headerRow->addWidget(dot, 0, Qt::AlignVCenter);
    headerRow->addWidget(
        new QBTextLabel(QStringLiteral("原位试音与排版沙盒"), titleFont(), QBTheme::inkPrimary(), tryOut), 1,
        Qt::AlignVCenter);
    m_clearButton = new QBButton(QBButton::Kind::secondary, QStringLiteral("清空"), tryOut, true);
    m_clearButton->setObjectName(QStringLiteral("sandboxClearButton"));
    connect(m_clearButton, &QBButton::clicked, this, [this] { m_state.setSandboxText(QString()); });
    headerRow->addWidget(m_clearButton, 0, Qt::AlignVCenter);
    m_tryOutButton = new QBButton(QBButton::Kind::primary, QString(), tryOut, true);
    m_tryOutButton->setObjectName(QStringLiteral("tryOutButton"));
    // A click must leave the focus, and so the cursor, in the try-out box.
    m_tryOutButton->setFocusPolicy(Qt::TabFocus);
    m_clearButton->setFocusPolicy(Qt::TabFocus);
    connect(m_tryOutButton, &QBButton::clicked, this, &HomeInsightsSection::toggleTryOut);
    headerRow->addWidget(m_tryOutButton, 0, Qt::AlignVCenter);
    tryOut->contentLayout()->addLayout(headerRow);

    m_hint = new QLabel(tryOut);
    m_hint->setObjectName(QStringLiteral("tryOutHint"));
    m_hint->setTextFormat(Qt::RichText); // every part escaped: only the inline code is markup
    m_hint->setWordWrap(true);
    m_hint->setFont(QBTheme::font(12));
    QPalette palette = m_hint->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkSecondary());
    m_hint->setPalette(palette);
    tryOut->contentLayout()->addWidget(m_hint);

    m_editor = new SandboxEditor(tryOut);
    m_editor->setObjectName(QStringLiteral("sandbox"));
    connect(m_editor, &SandboxEditor::textEdited, this, [this](const QString& text) {
        if (text != m_state.sandboxText())
            m_state.setSandboxText(text);
    });
    tryOut->contentLayout()->addWidget(m_editor);
    return tryOut;
}

void HomeInsightsSection::refresh()
{
    refreshFigures();
    refreshTryOut();
}

void HomeInsightsSection::refreshFigures()
{
    // The term count is cheap; the figures are passes over the whole history, so they wait for a new one.
    const auto terms = qint64(m_state.lexiconStore().entries().size());
    const bool historyChanged = !m_figuresShown || !m_state.history().isSharedWith(m_figuresHistory);
    if (historyChanged) {
        m_figuresHistory = m_state.history();
        m_columns[0]->setValue(InsightsFormat::charactersValue(m_state.totalCharactersDictated()));
        m_columns[1]->setValue(QString::number(m_state.timeSavedMinutes()));
        m_columns[2]->setValue(QString::number(m_state.averageCharactersPerMinute()));
        m_columns[3]->setValue(InsightsFormat::latencyValue(m_state.averagePolishLatencyMs()));
        m_heatmap->setDailyMap(m_state.dailyCountMap());
        m_activeDays = m_state.activeDaysCount();
        m_figuresShown = true;
    }
    m_heatmapLine->setText(InsightsFormat::heatmapLine(m_activeDays, terms));
}

void HomeInsightsSection::refreshTryOut()
{
    const bool listening = m_state.phase().isListening();
    static_cast<StateDot*>(m_listeningDot)->setColor(listening ? QBTheme::crimson() : QBTheme::violet());
    const QString buttonText = InsightsFormat::tryOutButtonText(m_state.phase());
    if (m_tryOutButton->text() != buttonText) {
        m_tryOutButton->setText(buttonText);
        m_tryOutButton->setLeadingIcon(listening ? QBIcon::stopFilled : QBIcon::microphoneFilled,
                                       kButtonIconSize, kButtonIconSpacing);
    }
    const QString& sandbox = m_state.sandboxText();
    m_clearButton->setVisible(!sandbox.isEmpty());
    m_editor->setText(sandbox);
    m_editor->setListening(listening);
    const QString hint = InsightsFormat::tryOutHintHtml(m_state.activeTriggerDisplayName());
    if (m_hint->text() != hint)
        m_hint->setText(hint);
}

void HomeInsightsSection::toggleTryOut()
{
    if (!m_state.phase().isListening()) {
        m_state.beginDictationSession(); // AppState decides whether a start is accepted
        return;
    }
    // The finish runs on by itself; the page may be gone before it ends.
    [](QPointer<AppState> state) -> QCoro::Task<> {
        if (state)
            co_await state->finishDictationSession();
    }(&m_state);
}

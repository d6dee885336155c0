#include "ui/pages/settings/LLMProviderUnifiedCard.h"

#include "core/AppState.h"
#include "ui/pages/settings/SettingsPageState.h"
#include "ui/pages/settings/SettingsParts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/SettingsControls.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

using namespace SettingsParts;
using Banner = EngineSettingsText::Banner;

namespace {
const QString kCustomBaseURLExample =
    QStringLiteral("https://api.siliconflow.cn/v1 或 http://127.0.0.1:11434/v1");
} // namespace

LLMProviderUnifiedCard::LLMProviderUnifiedCard(AppState& state, const SettingsPageState& page,
                                               LLMProviderOption provider, QWidget* parent)
    : QObject(parent), m_state(state), m_page(page), m_provider(provider)
{
    m_card = new QBExpandableCard(provider.title(), QString(), provider.subtitle(), parent);
    m_card->setObjectName(QStringLiteral("providerCard-") + provider.rawValue());
    m_card->setMonospacedTag(true);
    setParent(m_card);
    m_card->installEventFilter(this);
    m_keyPill = SettingsPills::keyStatusPill(false, false, true, m_card);
    m_keyPill->setObjectName(QStringLiteral("keyPill"));
    m_card->addTrailing(m_keyPill);
    connect(m_card, &QBExpandableCard::headerClicked, this, [this] {
        if (!m_drafts.loaded)
            syncDraftFromStore();
        Q_EMIT toggleRequested(m_provider);
    });

    const bool custom = provider == LLMProviderOption::custom;
    if (custom) {
        const EndpointRow endpoint =
            endpointRow(kCustomBaseURLExample, QStringLiteral("模型名称"), 175, m_card);
        m_baseURLField = endpoint.baseURLField;
        m_modelField = endpoint.modelField;
        connect(m_baseURLField, &QLineEdit::textEdited, this, [this](const QString& text) {
            m_drafts.baseURL = text;
            refresh();
        });
        m_card->bodyLayout()->addWidget(endpoint.holder);
    }

    auto* keys = new QWidget(m_card);
    QHBoxLayout* keyRow = row(keys, 8);
    keyRow->addWidget(fieldLabel(QStringLiteral("API Key"), keys, true));
    m_keyField = compactField(EngineSettingsText::providerKeyPlaceholder(provider), true, keys,
                              QStringLiteral("keyField"));
    connect(m_keyField, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_drafts.apiKey = text;
        refresh();
    });
    keyRow->addWidget(m_keyField, 1);
    if (!custom) {
        m_modelField = compactField(QStringLiteral("模型 ID"), false, keys, QStringLiteral("modelField"));
        m_modelField->setFixedWidth(165);
        keyRow->addWidget(m_modelField);
    }
    connect(m_modelField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_drafts.modelName = text; });

    // The drafts go as typed; the state trims and resolves them.
    QBButton* save = compactButton(false, QStringLiteral("保存"), keys, QStringLiteral("saveButton"));
    connect(save, &QAbstractButton::clicked, this, [this] {
        m_state.saveLLMProviderDraft(m_provider, m_drafts.baseURL, m_drafts.modelName, m_drafts.apiKey);
    });
    keyRow->addWidget(save);
    m_benchmarkButton = compactButton(false, QString(), keys, QStringLiteral("benchmarkButton"));
    connect(m_benchmarkButton, &QAbstractButton::clicked, this, [this] {
        m_state.runLLMProviderBenchmark(m_provider, m_drafts.baseURL, m_drafts.modelName, m_drafts.apiKey);
    });
    keyRow->addWidget(m_benchmarkButton);
    m_activateButton = compactButton(true, QString(), keys, QStringLiteral("activateButton"));
    connect(m_activateButton, &QAbstractButton::clicked, this, [this] {
        m_state.activateLLMProvider(m_provider, m_drafts.baseURL, m_drafts.modelName, m_drafts.apiKey);
    });
    keyRow->addWidget(m_activateButton);
    m_card->bodyLayout()->addWidget(keys);

    m_probeBanner = new QBInlineBanner(QBInlineBanner::Kind::probe, QString(), m_card);
    m_probeBanner->setObjectName(QStringLiteral("probeBanner"));
    m_card->bodyLayout()->addWidget(m_probeBanner);
    m_warnBanner = new QBInlineBanner(QBInlineBanner::Kind::warn, QString(), m_card);
    m_warnBanner->setObjectName(QStringLiteral("warnBanner"));
    m_card->bodyLayout()->addWidget(m_warnBanner);
}

void LLMProviderUnifiedCard::syncDraftFromStore()
{
    // The stored key from the keychain's cache, never the environment's: saving puts back what is stored.
    m_drafts = EngineSettingsText::draftsFromStore(m_provider, m_state.llmConfig(),
                                                   m_state.storedAPIKey(m_provider));
    showDrafts();
}

void LLMProviderUnifiedCard::showDrafts()
{
    setText(m_keyField, m_drafts.apiKey);
    setText(m_modelField, m_drafts.modelName);
    if (m_baseURLField)
        setText(m_baseURLField, m_drafts.baseURL);
}

bool LLMProviderUnifiedCard::eventFilter(QObject* watched, QEvent* event)
{
    // Shown for the page, the drafts load afresh. A window coming back from minimised sends spontaneous show
    // events: those keep what the user typed.
    if (watched == m_card && event->type() == QEvent::Show && !event->spontaneous()) {
        syncDraftFromStore();
        refresh();
    }
    return QObject::eventFilter(watched, event);
}

void LLMProviderUnifiedCard::refresh()
{
    const bool expanded = m_page.expandedLLM == m_provider;
    // Drafts load afresh each time the card opens; while it is closed they follow the store.
    if (!expanded || !m_wasExpanded)
        syncDraftFromStore();
    m_wasExpanded = expanded;

    const EngineSettingsText::ProviderCardState card = EngineSettingsText::providerCardState(
        m_provider, m_state.llmConfig(), m_drafts, m_state.savedProviderKeyFlags(),
        m_state.hasEnvironmentAPIKey(), m_state.llmActivationErrors(),
        m_state.llmProviderBenchmarkSummaries(), m_state.lastBenchmarkSummary());
    m_card->setSelected(card.selected);
    m_card->setExpanded(expanded);
    m_card->setTag(card.shownModel);
    SettingsPills::updateKeyStatusPill(m_keyPill, card.keyReady, card.keyless, !card.selected);
    if (!expanded)
        return;

    const bool benchmarking = m_state.isBenchmarkingLLM();
    const bool activatingAny = m_state.activatingLLMProvider().has_value();
    setText(m_benchmarkButton, benchmarking ? QStringLiteral("测速中…") : QStringLiteral("⚡ 测速"));
    setEnabled(m_benchmarkButton, !benchmarking && !activatingAny);
    setVisible(m_activateButton, !card.selected);
    setText(m_activateButton, m_state.activatingLLMProvider() == m_provider ? QStringLiteral("校验中…")
                                                                            : QStringLiteral("校验并切换"));
    setEnabled(m_activateButton, !activatingAny);

    const Banner banner = EngineSettingsText::cardBanner(
        card.error, card.summary, card.keyReady, EngineSettingsText::providerMissingKeyText(m_provider));
    setVisible(m_probeBanner, banner.kind == Banner::Kind::probe);
    setVisible(m_warnBanner, banner.kind == Banner::Kind::warn);
    if (banner.kind == Banner::Kind::probe)
        m_probeBanner->setMessage(banner.text);
    else if (banner.kind == Banner::Kind::warn)
        m_warnBanner->setMessage(banner.text);
}

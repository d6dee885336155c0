#include "ui/pages/settings/LocalModelCard.h"

#include "core/AppState.h"
#include "ui/pages/settings/EngineSettingsText.h"
#include "ui/pages/settings/SettingsPageState.h"
#include "ui/pages/settings/SettingsParts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/SettingsControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <cmath>

using namespace SettingsParts;

namespace {
const QString kSubtitle =
    QStringLiteral("音频 100% 留在本机内存零联网 · 飞机与高敏内网环境首选 · 也是所有云端语音的离线热备");
const QString kReadyText =
    QStringLiteral("本机 886MB FP32 无损离线模型已就绪，可随时切换为纯本地零联网模式。");
const QString kMissingText = QStringLiteral("尚未安装 886MB 无损浮点离线满血包：");
constexpr int kProgressSteps = 1000;
} // namespace

LocalModelCard::LocalModelCard(AppState& state, const SettingsPageState& page, QWidget* parent)
    : QObject(parent), m_state(state), m_page(page)
{
    const ASRProviderOption provider = ASRProviderOption::localSenseVoice;
    m_card = new QBExpandableCard(provider.title(), QString(), kSubtitle, parent);
    m_card->setObjectName(QStringLiteral("engineCard-") + provider.rawValue());
    m_card->setMonospacedTag(true);
    setParent(m_card);
    m_packPill = new QBPill(QString(), EngineSettingsText::packStatusLook(false, false), m_card);
    m_packPill->setObjectName(QStringLiteral("packPill"));
    m_card->addTrailing(m_packPill);

    // The action row: the ready text, or the offer to download; check-and-switch while not selected.
    auto* actions = new QWidget(m_card);
    QHBoxLayout* actionRow = row(actions, 8);
    m_readyText =
        label(kReadyText, QBTheme::font(11.5), QBTheme::inkSecondary(), actions, QStringLiteral("readyText"));
    actionRow->addWidget(m_readyText);
    m_missingText = label(kMissingText, QBTheme::font(11.5), QBTheme::inkSecondary(), actions,
                          QStringLiteral("missingText"));
    actionRow->addWidget(m_missingText);
    m_downloadButton = compactButton(false, QStringLiteral("⬇ 下载 886MB 离线满血包"), actions,
                                     QStringLiteral("downloadButton"));
    connect(m_downloadButton, &QAbstractButton::clicked, this,
            [this] { m_state.startOfflineModelDownload(); });
    actionRow->addWidget(m_downloadButton);
    actionRow->addStretch(1);
    m_activateButton = compactButton(true, QString(), actions, QStringLiteral("activateButton"));
    connect(m_activateButton, &QAbstractButton::clicked, this,
            [this] { m_state.activateASRProvider(ASRProviderOption::localSenseVoice); });
    actionRow->addWidget(m_activateButton);
    m_card->bodyLayout()->addWidget(actions);
    m_errorBanner = new QBInlineBanner(QBInlineBanner::Kind::probe, QString(), m_card);
    m_errorBanner->setObjectName(QStringLiteral("probeBanner"));
    m_card->bodyLayout()->addWidget(m_errorBanner);

    // The download row sits outside the body: it shows while the card is closed too.
    m_progressBlock = new QWidget(m_card);
    m_progressBlock->setObjectName(QStringLiteral("downloadRow"));
    auto* block = new QVBoxLayout(m_progressBlock);
    block->setContentsMargins(0, 9, 0, 0);
    block->setSpacing(9);
    block->addWidget(hairline(m_progressBlock));
    auto* progressHolder = new QWidget(m_progressBlock);
    QHBoxLayout* progressRow = row(progressHolder, 8);
    m_progress = new QProgressBar(progressHolder);
    m_progress->setObjectName(QStringLiteral("downloadProgress"));
    m_progress->setRange(0, kProgressSteps);
    m_progress->setTextVisible(false);
    progressRow->addWidget(m_progress, 1);
    m_progressText = label(QString(), QBTheme::font(11, QFont::Normal, QBTheme::FontDesign::monospaced),
                           QBTheme::violet(), progressHolder, QStringLiteral("downloadStatus"));
    progressRow->addWidget(m_progressText);
    auto* cancel = new QBButton(QBButton::Kind::destructive, QStringLiteral("取消"), progressHolder, true);
    cancel->setObjectName(QStringLiteral("cancelDownload"));
    connect(cancel, &QAbstractButton::clicked, this, [this] { m_state.cancelOfflineModelDownload(); });
    progressRow->addWidget(cancel);
    block->addWidget(progressHolder);
    m_card->contentLayout()->addWidget(m_progressBlock);
}

void LocalModelCard::refresh()
{
    const bool selected = m_state.llmConfig().asrProvider == ASRProviderOption::localSenseVoice;
    const bool expanded = m_page.expandedASR == ASRProviderOption::localSenseVoice;
    const bool loaded = m_state.senseVoiceLoaded();
    const bool fullFP32 = m_state.senseVoiceFullFP32();
    const bool downloading = m_state.isDownloadingOfflineModel();

    m_card->setSelected(selected);
    m_card->setExpanded(expanded);
    m_card->setBodySuppressed(downloading);
    m_card->setTag(EngineSettingsText::localChipText(fullFP32));
    setText(m_packPill, EngineSettingsText::packStatusText(loaded, fullFP32));
    const QBPill::Look pack = EngineSettingsText::packStatusLook(loaded, selected);
    if (m_packPill->look().fill != pack.fill || m_packPill->look().text != pack.text)
        m_packPill->setLook(pack);

    setVisible(m_progressBlock, downloading);
    if (downloading) {
        const int steps =
            int(std::lround(std::clamp(m_state.offlineDownloadProgress(), 0.0, 1.0) * kProgressSteps));
        if (m_progress->value() != steps)
            m_progress->setValue(steps);
        setText(m_progressText, m_state.offlineDownloadStatusText());
        return;
    }
    if (!expanded)
        return;
    setVisible(m_readyText, fullFP32);
    setVisible(m_missingText, !fullFP32);
    setVisible(m_downloadButton, !fullFP32);
    const bool activatingAny = m_state.activatingASRProvider().has_value();
    setVisible(m_activateButton, !selected);
    setText(m_activateButton, m_state.activatingASRProvider() == ASRProviderOption::localSenseVoice
                                  ? QStringLiteral("校验中…")
                                  : QStringLiteral("校验并切换"));
    setEnabled(m_activateButton, !activatingAny);
    const QString error = m_state.asrActivationErrors().value(ASRProviderOption::localSenseVoice);
    setVisible(m_errorBanner, !error.isEmpty());
    m_errorBanner->setMessage(error);
}

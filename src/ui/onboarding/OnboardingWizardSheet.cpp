#include "ui/onboarding/OnboardingWizardSheet.h"

#include "core/AppState.h"
#include "ui/onboarding/OnboardingTexts.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBHotkeyPresetGrid.h"
#include "ui/widgets/QBInput.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/RuzoraMarkView.h"
#include "ui/widgets/SettingsControls.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kPadding = 24;
constexpr int kSpacing = 16;
constexpr int kCardRadius = 12;
constexpr int kCardPadding = 14;
constexpr int kCardSpacing = 9;
constexpr int kRowSpacing = 7;
constexpr int kPickerWidth = 96;
constexpr int kProgressSteps = 1000;

// The design's step-1 hint names the macOS permission dialogs; on Linux the microphone is an input of the
// sound server and Accessibility is the desktop's AT-SPI bus with XTest on X11.
const QString kPermissionHint = QStringLiteral(
    "在系统声音设置中确认有可用的麦克风输入，并开启桌面的辅助功能（AT-SPI，X11 会话需支持 XTest）");

QLabel* plainLabel(const QString& objectName, const QString& text, const QFont& font, const QColor& color,
                   QWidget* parent, bool wrap = true)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wrap);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

void setShownText(QLabel* label, const QString& text)
{
    if (label->text() != text)
        label->setText(text);
    label->setVisible(!text.isEmpty());
}

void setFieldText(QLineEdit* field, const QString& text)
{
    // Only when it differs, so the cursor stays where the user types.
    if (field->text() != text)
        field->setText(text);
}

void setPlaceholder(QLineEdit* field, const QString& text)
{
    if (field->placeholderText() != text)
        field->setPlaceholderText(text);
}

void setPickerIndex(QComboBox* picker, int index)
{
    if (picker->currentIndex() != index)
        picker->setCurrentIndex(index);
}

QComboBox* picker(const QString& objectName, const QStringList& labels, QWidget* parent)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(objectName);
    combo->addItems(labels);
    combo->setFixedWidth(kPickerWidth);
    combo->setFont(QBTheme::font(12));
    return combo;
}

QWidget* divider(QWidget* parent)
{
    QWidget* line = qbRule(parent, QBTheme::strongLine());
    line->setObjectName(QStringLiteral("wizardDivider"));
    return line;
}

QBPill::Look versionBadge()
{
    QBPill::Look look;
    look.font = QBTheme::font(11, QFont::DemiBold, QBTheme::FontDesign::monospaced);
    look.text = QBTheme::violet();
    look.fill = QBTheme::lilacTint();
    look.paddingH = 9;
    look.paddingV = 3.5;
    return look;
}
} // namespace

OnboardingWizardSheet::OnboardingWizardSheet(AppState& state, QWidget* parent)
    : QWidget(parent), m_state(state)
{
    setObjectName(QStringLiteral("onboardingWizard"));
    setFixedWidth(kWidth);
    setPalette(QBTheme::palette());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(kSpacing);
    layout->addWidget(buildHeader());
    layout->addWidget(divider(this));
    layout->addWidget(buildStep1());
    layout->addWidget(buildStep2());
    layout->addWidget(buildStep3());
    layout->addWidget(buildFooter());
    refresh();
}

QSize OnboardingWizardSheet::sizeHint() const
{
    // The wrapped hints decide the height at the sheet's one width.
    return QSize(kWidth, heightForWidth(kWidth));
}

void OnboardingWizardSheet::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QBTheme::paperBg());
}

QWidget* OnboardingWizardSheet::buildHeader()
{
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("wizardHeader"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addWidget(new RuzoraMarkBadge(36, 22, header), 0, Qt::AlignVCenter);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = new QBTextLabel(QStringLiteral("欢迎使用 Quorbell"),
                                  QBTheme::font(21, QFont::Bold, QBTheme::FontDesign::serif),
                                  QBTheme::inkPrimary(), header);
    title->setObjectName(QStringLiteral("wizardTitle"));
    titles->addWidget(title);
    auto* subtitle = new QBTextLabel(QStringLiteral("花 60 秒完成以下 3 步配置，即可在任意软件中开口成文"),
                                     QBTheme::font(12.5), QBTheme::inkSecondary(), header);
    subtitle->setObjectName(QStringLiteral("wizardSubtitle"));
    titles->addWidget(subtitle);
    row->addLayout(titles, 1);
    auto* version = new QBPill(QStringLiteral("v0.4"), versionBadge(), header);
    version->setObjectName(QStringLiteral("wizardVersion"));
    row->addWidget(version, 0, Qt::AlignVCenter);
    return header;
}

QBCard* OnboardingWizardSheet::stepCard(const QString& objectName, const QString& title, QHBoxLayout** badges)
{
    auto* card = new QBCard(kCardRadius, kCardPadding, this);
    card->setObjectName(objectName);
    card->contentLayout()->setSpacing(kCardSpacing);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto* label = new QBTextLabel(title, QBTheme::font(13.5, QFont::DemiBold), QBTheme::inkPrimary(), card);
    label->setObjectName(objectName + QStringLiteral("Title"));
    titleRow->addWidget(label, 1);
    card->contentLayout()->addLayout(titleRow);
    *badges = titleRow;
    return card;
}

QLineEdit* OnboardingWizardSheet::keyField(const QString& objectName)
{
    auto* field = new QLineEdit(this);
    field->setObjectName(objectName);
    field->setEchoMode(QLineEdit::Password);
    qbCompactInputStyle(field);
    return field;
}

QBCard* OnboardingWizardSheet::buildStep1()
{
    QHBoxLayout* badges = nullptr;
    QBCard* card =
        stepCard(QStringLiteral("step1Card"), QStringLiteral("第 1 步 · 授予麦克风与辅助功能权限"), &badges);
    m_micBadge = SettingsPills::permissionBadge(QStringLiteral("麦克风"), false, card);
    m_micBadge->setObjectName(QStringLiteral("micBadge"));
    m_accessibilityBadge = SettingsPills::permissionBadge(QStringLiteral("辅助功能上屏"), false, card);
    m_accessibilityBadge->setObjectName(QStringLiteral("accessibilityBadge"));
    badges->addWidget(m_micBadge, 0, Qt::AlignVCenter);
    badges->addWidget(m_accessibilityBadge, 0, Qt::AlignVCenter);

    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    auto* request = new QBButton(QBButton::Kind::primary, QStringLiteral("一键打开权限授权"), card, true);
    request->setObjectName(QStringLiteral("requestPermissionsButton"));
    connect(request, &QAbstractButton::clicked, this, [this] { m_state.requestAllPermissions(); });
    row->addWidget(request, 0, Qt::AlignVCenter);
    row->addWidget(plainLabel(QStringLiteral("permissionHint"), kPermissionHint, QBTheme::font(11.5),
                              QBTheme::inkSecondary(), card),
                   1, Qt::AlignVCenter);
    card->contentLayout()->addLayout(row);

    // Why Accessibility is missing, in the desktop's words (on Wayland: typing into other applications needs
    // an X11 session).
    m_accessibilityReason = plainLabel(QStringLiteral("accessibilityReason"), QString(), QBTheme::font(11),
                                       QBTheme::amber(), card);
    m_accessibilityReason->hide();
    card->contentLayout()->addWidget(m_accessibilityReason);
    return card;
}

QBCard* OnboardingWizardSheet::buildStep2()
{
    QHBoxLayout* badges = nullptr;
    QBCard* card = stepCard(QStringLiteral("step2Card"),
                            QStringLiteral("第 2 步 · 填入语音与排版密钥（加密存入本机钥匙串）"), &badges);
    m_enginesReadyBadge = SettingsPills::permissionBadge(QStringLiteral("双引擎已就绪"), true, card);
    m_enginesReadyBadge->setObjectName(QStringLiteral("enginesReadyBadge"));
    m_enginesReadyBadge->hide();
    badges->addWidget(m_enginesReadyBadge, 0, Qt::AlignVCenter);

    // Speech: the picker, then the chosen engine's key field and its save button, or the local note.
    auto* speech = new QHBoxLayout;
    speech->setSpacing(kRowSpacing);
    QStringList speechLabels;
    for (const auto& entry : OnboardingTexts::speechEntries())
        speechLabels.append(entry.label);
    m_speechPicker = picker(QStringLiteral("speechPicker"), speechLabels, card);
    connect(m_speechPicker, &QComboBox::activated, this, [this](int index) {
        const auto entries = OnboardingTexts::speechEntries();
        if (index >= 0 && index < entries.size())
            m_state.selectASRProvider(entries[index].provider);
    });
    speech->addWidget(m_speechPicker, 0, Qt::AlignVCenter);
    m_volcKeyField = keyField(QStringLiteral("volcKeyField"));
    connect(m_volcKeyField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_state.setVolcSpeechKeyInput(text); });
    speech->addWidget(m_volcKeyField, 1, Qt::AlignVCenter);
    m_openAIKeyField = keyField(QStringLiteral("openAIKeyField"));
    connect(m_openAIKeyField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_state.setOpenAIASRKeyInput(text); });
    speech->addWidget(m_openAIKeyField, 1, Qt::AlignVCenter);
    m_localEngineNote =
        plainLabel(QStringLiteral("localEngineNote"),
                   QStringLiteral("已选纯本机 SenseVoice 离线识别，可在下方第 3 步一键下载 886MB 满血包"),
                   QBTheme::font(11.5), QBTheme::inkSecondary(), card);
    speech->addWidget(m_localEngineNote, 1, Qt::AlignVCenter);
    m_speechSaveButton = new QBButton(QBButton::Kind::primary, QStringLiteral("保存"), card, true);
    m_speechSaveButton->setObjectName(QStringLiteral("speechSaveButton"));
    connect(m_speechSaveButton, &QAbstractButton::clicked, this, [this] {
        if (m_state.llmConfig().asrProvider == ASRProviderOption::openAIWhisper)
            m_state.saveOpenAIASRConfig();
        else
            m_state.saveVolcSpeechAPIKey();
    });
    speech->addWidget(m_speechSaveButton, 0, Qt::AlignVCenter);
    card->contentLayout()->addLayout(speech);

    // Polishing model: the picker, the selected provider's key and its save button.
    auto* model = new QHBoxLayout;
    model->setSpacing(kRowSpacing);
    QStringList modelLabels;
    for (const auto& entry : OnboardingTexts::modelEntries())
        modelLabels.append(entry.label);
    m_modelPicker = picker(QStringLiteral("modelPicker"), modelLabels, card);
    connect(m_modelPicker, &QComboBox::activated, this, [this](int index) {
        const auto entries = OnboardingTexts::modelEntries();
        if (index >= 0 && index < entries.size())
            m_state.selectLLMProvider(entries[index].provider);
    });
    model->addWidget(m_modelPicker, 0, Qt::AlignVCenter);
    m_modelKeyField = keyField(QStringLiteral("modelKeyField"));
    connect(m_modelKeyField, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_state.setApiKeyInput(text); });
    model->addWidget(m_modelKeyField, 1, Qt::AlignVCenter);
    auto* save = new QBButton(QBButton::Kind::primary, QStringLiteral("保存"), card, true);
    save->setObjectName(QStringLiteral("modelSaveButton"));
    connect(save, &QAbstractButton::clicked, this, [this] { m_state.saveAPIKey(); });
    model->addWidget(save, 0, Qt::AlignVCenter);
    card->contentLayout()->addLayout(model);
    return card;
}

QBCard* OnboardingWizardSheet::buildStep3()
{
    QHBoxLayout* badges = nullptr;
    QBCard* card = stepCard(QStringLiteral("step3Card"),
                            QStringLiteral("第 3 步 · 选择顺手快捷键与离线热备包（可选）"), &badges);
    m_fullModelBadge = SettingsPills::permissionBadge(QStringLiteral("离线满血包已装好"), true, card);
    m_fullModelBadge->setObjectName(QStringLiteral("fullModelBadge"));
    m_fullModelBadge->hide();
    badges->addWidget(m_fullModelBadge, 0, Qt::AlignVCenter);

    m_presetGrid = new QBHotkeyPresetGrid(m_state, QBHotkeyPresetGrid::fiveFlexibleColumns(), card);
    card->contentLayout()->addWidget(m_presetGrid);
    // The settings banner that tells a chosen key cannot work lies under the sheet; the card says it too.
    m_triggerKeyProblem =
        plainLabel(QStringLiteral("triggerKeyProblem"), QString(), QBTheme::font(11), QBTheme::amber(), card);
    m_triggerKeyProblem->hide();
    card->contentLayout()->addWidget(m_triggerKeyProblem);

    m_progressRow = new QWidget(card);
    m_progressRow->setObjectName(QStringLiteral("downloadProgressRow"));
    auto* progressLine = new QHBoxLayout(m_progressRow);
    progressLine->setContentsMargins(0, 0, 0, 0);
    progressLine->setSpacing(8);
    m_progress = new QProgressBar(m_progressRow);
    m_progress->setObjectName(QStringLiteral("downloadProgress"));
    m_progress->setRange(0, kProgressSteps);
    m_progress->setTextVisible(false);
    progressLine->addWidget(m_progress, 1, Qt::AlignVCenter);
    m_downloadStatus =
        new QBTextLabel(QString(), QBTheme::font(11, QFont::Normal, QBTheme::FontDesign::monospaced),
                        QBTheme::violet(), m_progressRow);
    m_downloadStatus->setObjectName(QStringLiteral("downloadStatus"));
    progressLine->addWidget(m_downloadStatus, 0, Qt::AlignVCenter);
    card->contentLayout()->addWidget(m_progressRow);

    m_downloadRow = new QWidget(card);
    m_downloadRow->setObjectName(QStringLiteral("downloadRow"));
    auto* downloadLine = new QHBoxLayout(m_downloadRow);
    downloadLine->setContentsMargins(0, 0, 0, 0);
    downloadLine->setSpacing(8);
    auto* download = new QBButton(QBButton::Kind::secondary, QStringLiteral("⬇ 后台下载 886MB 离线满血模型"),
                                  m_downloadRow, true);
    download->setObjectName(QStringLiteral("downloadButton"));
    connect(download, &QAbstractButton::clicked, this, [this] { m_state.startOfflineModelDownload(); });
    downloadLine->addWidget(download, 0, Qt::AlignVCenter);
    downloadLine->addWidget(plainLabel(QStringLiteral("downloadNote"),
                                       QStringLiteral("日常有网用豆包无需下载；经常坐飞机/无网建议后台下载"),
                                       QBTheme::font(11), QBTheme::inkMuted(), m_downloadRow),
                            1, Qt::AlignVCenter);
    card->contentLayout()->addWidget(m_downloadRow);
    return card;
}

QWidget* OnboardingWizardSheet::buildFooter()
{
    auto* footer = new QWidget(this);
    footer->setObjectName(QStringLiteral("wizardFooter"));
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(
        plainLabel(QStringLiteral("usageHint"),
                   QStringLiteral("使用方法：聚焦任意输入框 ➔ 按一下快捷键说话 ➔ 再按一下瞬间成稿"),
                   QBTheme::font(11.5), QBTheme::inkMuted(), footer),
        1, Qt::AlignVCenter);
    auto* finishButton = new QBButton(QBButton::Kind::primary, QStringLiteral("完成配置，开始体验"), footer);
    finishButton->setObjectName(QStringLiteral("finishButton"));
    connect(finishButton, &QAbstractButton::clicked, this, &OnboardingWizardSheet::finish);
    row->addWidget(finishButton, 0, Qt::AlignVCenter);
    return footer;
}

void OnboardingWizardSheet::finish()
{
    using OnboardingTexts::isEntered;
    // Each save starts here and reads its field before anything below changes; each reports on the banner.
    if (isEntered(m_state.volcSpeechKeyInput()))
        m_state.saveVolcSpeechAPIKey();
    if (isEntered(m_state.apiKeyInput()))
        m_state.saveAPIKey();
    // A typed transcription key is kept as well, not only through the speech row's own save button.
    if (isEntered(m_state.openAIASRKeyInput()))
        m_state.saveOpenAIASRConfig();
    m_state.completeOnboarding();
}

void OnboardingWizardSheet::refresh()
{
    refreshStep1();
    refreshStep2();
    refreshStep3();
}

void OnboardingWizardSheet::refreshStep1()
{
    if (m_micOk != m_state.micAuthorized()) {
        m_micOk = m_state.micAuthorized();
        m_micBadge->setLook(QBPillLooks::permissionBadge(m_micOk));
    }
    if (m_accessibilityOk != m_state.accessibilityGranted()) {
        m_accessibilityOk = m_state.accessibilityGranted();
        m_accessibilityBadge->setLook(QBPillLooks::permissionBadge(m_accessibilityOk));
    }
    setShownText(m_accessibilityReason,
                 m_state.accessibilityGranted() ? QString() : m_state.accessibilityReason());
}

void OnboardingWizardSheet::refreshStep2()
{
    const ASRProviderOption speech = m_state.llmConfig().asrProvider;
    m_enginesReadyBadge->setVisible(OnboardingTexts::showsEnginesReadyBadge(
        OnboardingTexts::EngineInputs::from(m_state), m_state.apiKeyInput()));

    setPickerIndex(m_speechPicker, OnboardingTexts::speechIndex(speech));
    m_volcKeyField->setVisible(speech == ASRProviderOption::volcSeedASR);
    m_openAIKeyField->setVisible(speech == ASRProviderOption::openAIWhisper);
    m_localEngineNote->setVisible(speech == ASRProviderOption::localSenseVoice);
    m_speechSaveButton->setVisible(speech != ASRProviderOption::localSenseVoice);
    setFieldText(m_volcKeyField, m_state.volcSpeechKeyInput());
    setPlaceholder(m_volcKeyField,
                   OnboardingTexts::speechKeyPlaceholder(ASRProviderOption::volcSeedASR, false));
    setFieldText(m_openAIKeyField, m_state.openAIASRKeyInput());
    setPlaceholder(m_openAIKeyField,
                   OnboardingTexts::speechKeyPlaceholder(ASRProviderOption::openAIWhisper,
                                                         m_state.isOpenAIASRReusingLLMKey()));

    const LLMProviderOption provider = m_state.llmConfig().selectedProvider;
    setPickerIndex(m_modelPicker, OnboardingTexts::modelIndex(provider));
    setFieldText(m_modelKeyField, m_state.apiKeyInput());
    setPlaceholder(m_modelKeyField, OnboardingTexts::modelKeyPlaceholder(provider));
}

void OnboardingWizardSheet::refreshStep3()
{
    m_presetGrid->refresh();
    setShownText(m_triggerKeyProblem, m_state.triggerKeyProblem());
    m_fullModelBadge->setVisible(m_state.senseVoiceFullFP32());
    const auto area =
        OnboardingTexts::downloadArea(m_state.isDownloadingOfflineModel(), m_state.senseVoiceFullFP32());
    m_progressRow->setVisible(area == OnboardingTexts::DownloadArea::progress);
    m_downloadRow->setVisible(area == OnboardingTexts::DownloadArea::button);
    if (area == OnboardingTexts::DownloadArea::progress) {
        const double fraction = m_state.offlineDownloadProgress();
        const int value =
            std::isfinite(fraction) ? int(std::lround(std::clamp(fraction, 0.0, 1.0) * kProgressSteps)) : 0;
        if (m_progress->value() != value)
            m_progress->setValue(value);
        m_downloadStatus->setText(m_state.offlineDownloadStatusText());
    }
}

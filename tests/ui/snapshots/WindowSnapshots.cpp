// Renders the main window, each page and every shared control state to PNG, offscreen, for review:
// ui_snapshots [output folder]. Not part of the shipped app.
#include "ui/dashboard/DashboardSidebar.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/dashboard/SidebarStatus.h"
#include "ui/onboarding/OnboardingWizardSheet.h"
#include "ui/pages/dictionary/DictionaryInlineEditor.h"
#include "ui/pages/dictionary/PersonalDictionarySection.h"
#include "ui/pages/settings/EngineSettingsSection.h"
#include "ui/support/DashboardFixture.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBExpandableCard.h"
#include "ui/widgets/QBInput.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBSegmentBar.h"
#include "ui/widgets/QBSwitch.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/SettingsControls.h"
#include "util/AppIdentity.h"

#include <QAbstractAnimation>
#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

const QList<QSize> kSizes{{960, 650}, {1400, 900}};
const QList<qreal> kScales{1, 2};

// Animations under way (a card opening, a tab being selected) jump to their end, and the layout they change
// settles, so a picture shows what the user sees once the motion is over.
void finishAnimations(QWidget& widget)
{
    for (QAbstractAnimation* animation : widget.window()->findChildren<QAbstractAnimation*>()) {
        if (animation->state() == QAbstractAnimation::Running)
            animation->setCurrentTime(animation->totalDuration());
    }
    for (int i = 0; i < 4; ++i)
        QCoreApplication::processEvents();
}

bool save(QWidget& widget, const QString& folder, const QString& name)
{
    finishAnimations(widget);
    bool ok = true;
    for (qreal scale : kScales) {
        QImage image(widget.size() * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(QBTheme::paperBg());
        widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren | QWidget::DrawWindowBackground);
        const QString path = QDir(folder).filePath(QStringLiteral("%1@%2x.png").arg(name).arg(int(scale)));
        ok = image.save(path) && ok;
        std::printf("%s\n", qPrintable(path));
    }
    return ok;
}

// The window with the first-run sheet over it, centred as the dialog opens over its parent, with its shadow.
bool saveWithSheet(MainDashboardView& view, const QString& folder, const QString& name)
{
    QWidget* sheet = view.onboardingSheet();
    if (!sheet) {
        std::printf("no first-run sheet for %s\n", qPrintable(name));
        return false;
    }
    sheet->adjustSize();
    const QSize size = sheet->size();
    const QPoint at((view.width() - size.width()) / 2, std::max(0, (view.height() - size.height()) / 2));
    std::printf("%s: sheet %d x %d%s\n", qPrintable(name), size.width(), size.height(),
                size.height() > view.height() ? " TALLER THAN THE WINDOW" : "");
    bool ok = true;
    for (qreal scale : kScales) {
        QImage image(view.size() * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(QBTheme::paperBg());
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren | QWidget::DrawWindowBackground);
        {
            QPainter painter(&image);
            const QImage shade =
                QBPaint::shadow(QSizeF(size), 0, 18, QColor::fromRgbF(0, 0, 0, 0.18f), scale);
            painter.drawImage(QPointF(at) - QPointF(18, 12), shade);
        }
        sheet->render(&image, at, QRegion(), QWidget::DrawChildren | QWidget::DrawWindowBackground);
        const QString path = QDir(folder).filePath(QStringLiteral("%1@%2x.png").arg(name).arg(int(scale)));
        ok = image.save(path) && ok;
        std::printf("%s\n", qPrintable(path));
    }
    return ok;
}

void settle(QWidget& widget, QSize size)
{
    widget.resize(size);
    widget.show();
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

QLabel* caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(QBTheme::font(11, QFont::Medium, QBTheme::FontDesign::monospaced));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QBTheme::inkMuted());
    label->setPalette(palette);
    return label;
}

// Every shared control in each of its states, on one sheet of paper.
std::unique_ptr<QWidget> controlGallery()
{
    auto gallery = std::make_unique<QWidget>();
    gallery->setAutoFillBackground(true);
    auto* grid = new QGridLayout(gallery.get());
    grid->setContentsMargins(28, 28, 28, 28);
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(16);
    int row = 0;
    const auto addRow = [&](const QString& title, QList<QWidget*> widgets) {
        grid->addWidget(caption(title, gallery.get()), row, 0, Qt::AlignLeft | Qt::AlignVCenter);
        auto* holder = new QWidget(gallery.get());
        auto* line = new QHBoxLayout(holder);
        line->setContentsMargins(0, 6, 0, 12);
        line->setSpacing(12);
        for (QWidget* w : widgets) {
            w->setParent(holder);
            line->addWidget(w, 0, Qt::AlignVCenter);
        }
        line->addStretch(1);
        grid->addWidget(holder, row++, 1);
    };
    const auto button = [](QBButton::Kind kind, const QString& text, bool compact, bool enabled, bool down) {
        auto* b = new QBButton(kind, text, nullptr, compact);
        b->setEnabled(enabled);
        b->setDown(down);
        return static_cast<QWidget*>(b);
    };
    using K = QBButton::Kind;
    addRow(QStringLiteral("primary"), {button(K::primary, QStringLiteral("保存并生效"), false, true, false),
                                       button(K::primary, QStringLiteral("按下"), false, true, true),
                                       button(K::primary, QStringLiteral("不可用"), false, false, false),
                                       button(K::primary, QStringLiteral("紧凑 Compact"), true, true, false),
                                       button(K::primary, QStringLiteral("紧凑不可用"), true, false, true)});
    addRow(QStringLiteral("secondary"),
           {button(K::secondary, QStringLiteral("测速"), false, true, false),
            button(K::secondary, QStringLiteral("按下"), false, true, true),
            button(K::secondary, QStringLiteral("不可用"), false, false, false),
            button(K::destructive, QStringLiteral("删除"), false, true, false),
            button(K::destructive, QStringLiteral("删除不可用"), false, false, false),
            button(K::destructive, QStringLiteral("紧凑删除"), true, true, false)});
    auto* preset = SettingsPills::presetPill(QStringLiteral("gpt-4o-mini-transcribe"), true);
    addRow(QStringLiteral("pills"),
           {preset, SettingsPills::presetPill(QStringLiteral("Groq whisper"), false),
            SettingsPills::engineStatusBadge(true), SettingsPills::engineStatusBadge(false),
            new QBPill(QStringLiteral("INSIGHTS · 洞察"), QBPillLooks::headerBadge()),
            new QBPill(QStringLiteral("⌃ + Space"), QBPillLooks::triggerChip())});
    addRow(QStringLiteral("key pills"),
           {SettingsPills::keyStatusPill(true, false, false), SettingsPills::keyStatusPill(true, false, true),
            SettingsPills::keyStatusPill(false, false, false),
            SettingsPills::keyStatusPill(false, false, true),
            SettingsPills::keyStatusPill(true, true, false)});
    addRow(QStringLiteral("permission"), {SettingsPills::permissionBadge(QStringLiteral("麦克风"), true),
                                          SettingsPills::permissionBadge(QStringLiteral("辅助功能"), false),
                                          new EngineStatusDot(true), new EngineStatusDot(false)});
    auto* field = new QLineEdit(QStringLiteral("https://api.deepseek.com/v1 测试"));
    qbInputStyle(field);
    field->setFixedWidth(300);
    auto* empty = new QLineEdit;
    empty->setPlaceholderText(QStringLiteral("粘贴 API Key"));
    qbInputStyle(empty);
    empty->setFixedWidth(200);
    auto* editor = new QPlainTextEdit(QStringLiteral("多行输入 multi-line\n第二行"));
    qbInputStyle(editor);
    editor->setFixedSize(240, 64);
    addRow(QStringLiteral("inputs"), {field, empty, editor});
    auto* on = new QBSwitch;
    on->setChecked(true);
    auto* off = new QBSwitch;
    auto* disabled = new QBSwitch;
    disabled->setEnabled(false);
    auto* switchRow = new CompactSwitchRow(QBIcon::sparkles, QStringLiteral("边说边上屏（实验）"));
    switchRow->setOn(true);
    switchRow->setFixedWidth(280);
    addRow(QStringLiteral("switches"), {on, off, disabled, switchRow});
    auto* bar = new QBSegmentBar;
    bar->setItems({{QStringLiteral("结构化"), true, {}, {}},
                   {QStringLiteral("轻润色"), false, {}, {}},
                   {QStringLiteral("纯原声"), false, {}, {}}});
    bar->setFixedWidth(300);
    auto* twoSelected = new QBSegmentBar;
    twoSelected->setItems(
        {{QStringLiteral("点按切换"), true, {}, {}}, {QStringLiteral("按住说话"), true, {}, {}}});
    twoSelected->setFixedWidth(220);
    auto* emptyBar = new QBSegmentBar;
    emptyBar->setFixedWidth(60);
    addRow(QStringLiteral("segments"), {bar, twoSelected, emptyBar});
    auto* probeOk = new QBInlineBanner(QBInlineBanner::Kind::probe,
                                       QStringLiteral("✅ 校验通过 · 首包 412 ms，contains ❌ later"));
    auto* probeError = new QBInlineBanner(
        QBInlineBanner::Kind::probe,
        QStringLiteral("❌ 校验未通过，未生效：服务器返回 401 Unauthorized — the key was rejected by the "
                       "endpoint; check the key and the base URL, then try again. 第三行不应显示。"));
    auto* warn = new QBInlineBanner(
        QBInlineBanner::Kind::warn,
        QStringLiteral(
            "当前模型尚未填入 API Key：未填写时只做本地纠错与排版，不调用大模型。This warning wraps "
            "without any limit on the number of lines it takes."));
    for (QBInlineBanner* b : {probeOk, probeError, warn})
        b->setFixedWidth(300);
    addRow(QStringLiteral("inline banners"), {probeOk, probeError, warn});
    auto* matrix = new QBMatrixControlRow(
        QStringLiteral("触发方式"), new QBButton(K::secondary, QStringLiteral("右侧 Ctrl"), nullptr, true));
    matrix->setFixedWidth(300);
    addRow(QStringLiteral("matrix row"), {matrix});

    auto* tight = new QBCard(14, 0);
    tight->contentLayout()->addWidget(caption(QStringLiteral("padding 0"), tight));
    auto* card = new QBCard(15, 22);
    card->contentLayout()->addWidget(caption(QStringLiteral("15 / 22 卡片"), card));
    auto* collapsed =
        new QBExpandableCard(QStringLiteral("OpenAI 兼容转写"), QStringLiteral("gpt-4o-mini-transcribe"),
                             QStringLiteral("OpenAI / Groq 兼容接口"));
    collapsed->addTrailing(SettingsPills::keyStatusPill(false, false, true));
    collapsed->setFixedWidth(470);
    auto* expanded = new QBExpandableCard(QStringLiteral("火山 Seed-ASR 2.0"), QStringLiteral("bigmodel"),
                                          QStringLiteral("流式识别 · 中文最佳"));
    expanded->addTrailing(SettingsPills::keyStatusPill(true, false, false));
    expanded->setSelected(true);
    expanded->setExpanded(true);
    expanded->bodyLayout()->addWidget(caption(QStringLiteral("expanded rows"), expanded));
    expanded->setFixedWidth(470);
    addRow(QStringLiteral("cards"), {tight, card});
    addRow(QStringLiteral("engine cards"), {collapsed, expanded});
    addRow(QStringLiteral("header"),
           {new QBEditorialHeader(QStringLiteral("INSIGHTS"), QStringLiteral("洞察总览 Overview"),
                                  QStringLiteral("你的口述习惯与效率，一目了然。"))});
    grid->setColumnStretch(1, 1);
    return gallery;
}

// The top of the sidebar with every text the speech status line can show, one under the other.
bool saveSpeechStatuses(MainDashboardView& view, const QString& folder, const QString& name)
{
    DashboardSidebar* sidebar = view.sidebar();
    auto* status = sidebar->findChild<QBTextLabel*>(QStringLiteral("asrStatus"));
    const QStringList texts = SidebarStatus::asrStatusTexts();
    const int band = 84;
    bool ok = true;
    for (qreal scale : kScales) {
        QImage sheet(QSize(sidebar->width(), band * int(texts.size())) * scale,
                     QImage::Format_ARGB32_Premultiplied);
        sheet.setDevicePixelRatio(scale);
        sheet.fill(QBTheme::paperBg());
        for (qsizetype i = 0; i < texts.size(); ++i) {
            status->setText(texts[i]);
            QCoreApplication::processEvents();
            sidebar->render(&sheet, QPoint(0, band * int(i)), QRegion(0, 0, sidebar->width(), band),
                            QWidget::DrawChildren | QWidget::DrawWindowBackground);
        }
        const QString path = QDir(folder).filePath(QStringLiteral("%1@%2x.png").arg(name).arg(int(scale)));
        ok = sheet.save(path) && ok;
        std::printf("%s\n", qPrintable(path));
    }
    view.refreshNow();
    return ok;
}

// Sixty terms of every category, some pinned, one with a long list of aliases and one with a long name.
QList<LexiconEntry> dictionaryTerms()
{
    struct Seed {
        const char* term;
        LexiconCategory category;
        qint64 weight;
        QList<const char*> aliases;
    };
    const QList<Seed> seeds{
        {"张伟", LexiconCategory::person, 10, {"章维", "张威", "zhang wei"}},
        {"DeepSeek",
         LexiconCategory::project,
         9,
         {"迪普西克", "deep seek", "低谱西克", "迪普C克", "deepsick", "滴普西客", "DPSK", "迪普"}},
        {"Model Context Protocol", LexiconCategory::project, 5, {"MCP", "m c p"}},
        {"李娜", LexiconCategory::person, 5, {}},
        {"贵州茅台 600519", LexiconCategory::finance, 7, {"茅台", "六零零五一九"}},
        {"季度复盘会议纪要与行动项跟踪表（二〇二五年第一季度）", LexiconCategory::memo, 5, {"复盘"}},
        {"GitHub Copilot", LexiconCategory::browser, 2, {}},
        {"阔贝尔", LexiconCategory::autoLearned, 3, {"阔贝", "扩贝尔", "quor bell", "阔呗", "括贝尔"}},
    };
    QList<LexiconEntry> entries;
    for (int i = 0; i < 60; ++i) {
        const Seed& seed = seeds[i % seeds.size()];
        const QString term = i < seeds.size()
                                 ? QString::fromUtf8(seed.term)
                                 : QStringLiteral("%1 %2").arg(QString::fromUtf8(seed.term)).arg(i);
        QStringList aliases;
        for (const char* alias : seed.aliases)
            aliases.append(QString::fromUtf8(alias));
        entries.append(LexiconEntry(QUuid::createUuid(), term, aliases, QString(), seed.category, seed.weight,
                                    0, Timestamp::fromUnixSeconds(1.74e9)));
    }
    return entries;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QBTheme::applyLightLook(app);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("ui-snapshots");
    QDir().mkpath(folder);
    bool ok = true;

    {
        auto gallery = controlGallery();
        settle(*gallery, QSize(1180, gallery->sizeHint().height()));
        ok = save(*gallery, folder, QStringLiteral("controls")) && ok;
    }

    // Everything ready: keys, a loaded model, a latency and a banner.
    {
        DashboardFixture fixture;
        AppState& state = fixture.start(40, 128);
        state.setVolcSpeechKeyInput(QStringLiteral("volc-key"));
        state.setStatusBanner(QStringLiteral("✅ 已保存 DeepSeek 密钥 · <img src=x> 按原文显示"));
        MainDashboardView view(state);
        for (QSize size : kSizes) {
            settle(view, size);
            for (SidebarTab tab : SidebarTab::allCases()) {
                state.setSelectedTab(tab);
                view.refreshNow();
                QCoreApplication::processEvents();
                ok = save(view, folder,
                          QStringLiteral("window-%1-%2x%3")
                              .arg(SidebarTabRow::id(tab))
                              .arg(size.width())
                              .arg(size.height())) &&
                     ok;
            }
            ok = saveSpeechStatuses(
                     view, folder,
                     QStringLiteral("sidebar-speech-status-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;
        }
    }

    // What needs the user: no Accessibility (with its reason), no microphone, a trigger key that cannot be
    // seen, an empty custom model name, no history.
    {
        DashboardFixture fixture;
        fixture.harness.accessibility.setTrusted(false);
        fixture.harness.accessibility.setUntrustedReason(
            QStringLiteral("当前是 Wayland 会话：向其他应用输入文字需要 X11 会话"));
        fixture.harness.microphoneAuthorized = false;
        AppState& state = fixture.start(0, 0,
                                        {{QStringLiteral("selectedProvider"), QStringLiteral("custom")},
                                         {QStringLiteral("modelName"), QString()},
                                         {QStringLiteral("asrProvider"), QStringLiteral("localSenseVoice")}});
        MainDashboardView view(state);
        for (QSize size : kSizes) {
            settle(view, size);
            view.refreshNow();
            ok = save(view, folder,
                      QStringLiteral("window-attention-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;
        }
    }
    // The first-run wizard in its states: each speech engine, the permission badges off and on, the download
    // button, a running download and the installed full model.
    {
        struct WizardState {
            QString name;
            ASRProviderOption engine;
            bool granted;
            bool downloading;
            bool fullModel;
        };
        const QList<WizardState> states{
            {QStringLiteral("seedasr-missing"), ASRProviderOption::volcSeedASR, false, false, false},
            {QStringLiteral("openai-granted"), ASRProviderOption::openAIWhisper, true, false, false},
            {QStringLiteral("local-downloading"), ASRProviderOption::localSenseVoice, false, true, false},
            {QStringLiteral("local-installed"), ASRProviderOption::localSenseVoice, true, false, true},
        };
        for (const WizardState& wizard : states) {
            DashboardFixture fixture;
            fixture.onboardingDone = false;
            fixture.harness.microphoneAuthorized = wizard.granted;
            fixture.harness.accessibility.setTrusted(wizard.granted);
            if (!wizard.granted)
                fixture.harness.accessibility.setUntrustedReason(QStringLiteral(
                    "当前是 Wayland 会话，Quorbell "
                    "无法在其中模拟按键或读取其他应用的输入框。请在登录界面选择 X11（Xorg）会话。"));
            if (wizard.downloading) {
                // The archive starts and then stalls, so the download stays running; the rest of the local
                // server's answers stay as they are.
                fixture.harness.server.setHandler([](const ScriptedHttpServer::Request& request) {
                    if (!request.path.contains("/models/sensevoice"))
                        return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
                    ScriptedHttpServer::Reply stalled;
                    stalled.pieces = {{QByteArray(4'200'000, 'x'), {}}};
                    stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("10000000")));
                    stalled.framing = ScriptedHttpServer::Reply::Framing::closeDelimited;
                    stalled.stallAfterPieces = true;
                    return stalled;
                });
            }
            AppState& state =
                fixture.start(0, 0, {{QStringLiteral("asrProvider"), wizard.engine.rawValue()}});
            if (wizard.fullModel) {
                fixture.harness.engine->usingSenseVoice = true;
                fixture.harness.engine->fullPrecision = true;
            }
            state.setShowOnboardingSheet(true);
            if (wizard.engine == ASRProviderOption::volcSeedASR)
                state.setVolcSpeechKeyInput(QStringLiteral("volc-key"));
            if (wizard.granted)
                state.setApiKeyInput(QStringLiteral("sk-typed-model-key"));
            state.refreshPermissionStatus();
            if (wizard.downloading) {
                state.startOfflineModelDownload();
                (void)QTest::qWaitFor([&] { return state.offlineDownloadProgress() > 0.4; }, 30000);
            }
            MainDashboardView view(state);
            for (QSize size : kSizes) {
                settle(view, size);
                view.refreshNow();
                QCoreApplication::processEvents();
                ok = saveWithSheet(view, folder,
                                   QStringLiteral("wizard-%1-%2x%3")
                                       .arg(wizard.name)
                                       .arg(size.width())
                                       .arg(size.height())) &&
                     ok;
            }
            if (wizard.downloading)
                state.cancelOfflineModelDownload();
        }
    }

    // The dictionary: sixty terms (the window and the whole page), the inline editor on the long alias list,
    // batch selection under a filter and search, and an empty lexicon.
    {
        DashboardFixture fixture;
        AppState& state = fixture.start(0, -1);
        state.lexiconStore().setEntries(dictionaryTerms());
        state.setSelectedTab(SidebarTab::dictionary);
        MainDashboardView view(state);
        auto* scroll = view.findChild<QScrollArea*>(QStringLiteral("pageArea"));
        for (QSize size : kSizes) {
            const QString suffix = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
            state.setStatusBanner(QString());
            state.setSelectedTab(SidebarTab::home);
            view.refreshNow();
            state.setSelectedTab(SidebarTab::dictionary);
            view.refreshNow();
            settle(view, size);
            auto* page = qobject_cast<PersonalDictionarySection*>(view.page());
            ok = save(view, folder, QStringLiteral("dictionary-") + suffix) && ok;
            ok = save(*page, folder, QStringLiteral("dictionary-page-") + suffix) && ok;

            page->beginInlineEdit(page->entryList()->entryAt(1));
            QCoreApplication::processEvents();
            scroll->ensureWidgetVisible(page->inlineEditor(), 0, 120);
            QCoreApplication::processEvents();
            ok = save(view, folder, QStringLiteral("dictionary-editor-") + suffix) && ok;

            page->inlineEditor()->findChild<QAbstractButton*>(QStringLiteral("editCancel"))->click();
            page->findChild<QAbstractButton*>(QStringLiteral("filterPill-project"))->click();
            page->findChild<QAbstractButton*>(QStringLiteral("batchToggleButton"))->click();
            DictionaryEntryList* list = page->entryList();
            for (int row : {0, 2})
                QTest::mouseClick(list, Qt::LeftButton, {},
                                  list->partCenter(row, DictionaryEntryList::Part::row));
            page->findChild<QLineEdit*>(QStringLiteral("searchField"))->setText(QStringLiteral("e"));
            state.setStatusBanner(QStringLiteral("🗑️ 已批量清理 3 个词条"));
            view.refreshNow();
            QCoreApplication::processEvents();
            scroll->ensureWidgetVisible(page->findChild<QWidget*>(QStringLiteral("searchBox")), 0, 120);
            QCoreApplication::processEvents();
            ok = save(view, folder, QStringLiteral("dictionary-batch-") + suffix) && ok;
        }
    }
    {
        DashboardFixture fixture;
        AppState& state = fixture.start(0, 0);
        state.setSelectedTab(SidebarTab::dictionary);
        MainDashboardView view(state);
        for (QSize size : kSizes) {
            settle(view, size);
            view.refreshNow();
            ok = save(view, folder,
                      QStringLiteral("dictionary-empty-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;
        }
        // The browser import on a machine without any browser history: the failure as the banner says it.
        QTemporaryDir home;
        for (QSize size : kSizes) {
            state.setStatusBanner(QString());
            settle(view, size);
            view.refreshNow();
            auto* page = qobject_cast<PersonalDictionarySection*>(view.page());
            page->setImportLocations({home.path(), home.path()});
            page->findChild<QAbstractButton*>(QStringLiteral("browserImportButton"))->click();
            fixture.harness.settle([&] {
                QCoreApplication::processEvents();
                return !state.statusBanner().isEmpty();
            });
            view.refreshNow();
            ok =
                save(view, folder,
                     QStringLiteral("dictionary-import-failed-%1x%2").arg(size.width()).arg(size.height())) &&
                ok;
        }
    }
    // The settings page: closed, with each card open in turn (scrolled into view), the whole page at full
    // length, and a capture and a download running.
    {
        DashboardFixture fixture;
        fixture.harness.server.setHandler([](const ScriptedHttpServer::Request& request) {
            if (!request.path.endsWith(".tar.bz2"))
                return ScriptedHttpServer::Reply::json(200, "{}");
            ScriptedHttpServer::Reply stalled;
            stalled.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("4000000")));
            stalled.pieces.append({QByteArray(1500000, 'x'), {}});
            stalled.framing = ScriptedHttpServer::Reply::Framing::closeDelimited;
            stalled.stallAfterPieces = true;
            return stalled;
        });
        AppState& state = fixture.start(12, 40);
        state.setVolcSpeechKeyInput(QStringLiteral("volc-key"));
        state.setSelectedTab(SidebarTab::settings);
        MainDashboardView view(state);
        auto* scroll = view.findChild<QScrollArea*>(QStringLiteral("pageArea"));
        const auto shoot = [&](const QString& name, QSize size) {
            view.refreshNow();
            // Layout requests travel up one level per turn: let them all arrive.
            for (int i = 0; i < 4; ++i)
                QCoreApplication::processEvents();
            ok = save(view, folder,
                      QStringLiteral("settings-%1-%2x%3").arg(name).arg(size.width()).arg(size.height())) &&
                 ok;
        };
        for (QSize size : kSizes) {
            settle(view, size);
            auto* page = qobject_cast<EngineSettingsSection*>(view.page());
            shoot(QStringLiteral("collapsed"), size);
            for (ASRProviderOption provider : ASRProviderOption::allCases()) {
                page->toggleASRCard(provider);
                view.refreshNow();
                finishAnimations(view);
                scroll->ensureWidgetVisible(
                    view.findChild<QWidget*>(QStringLiteral("engineCard-") + provider.rawValue()), 0, 40);
                shoot(QStringLiteral("engine-") + provider.rawValue(), size);
            }
            page->toggleASRCard(ASRProviderOption::localSenseVoice);
            for (LLMProviderOption provider : LLMProviderOption::allCases()) {
                page->toggleLLMCard(provider);
                view.refreshNow();
                finishAnimations(view);
                scroll->ensureWidgetVisible(
                    view.findChild<QWidget*>(QStringLiteral("providerCard-") + provider.rawValue()), 0, 40);
                shoot(QStringLiteral("model-") + provider.rawValue(), size);
            }
            page->toggleLLMCard(LLMProviderOption::custom);
            view.refreshNow();
            // The collapsed card gives its height back only once its layout request has travelled up.
            for (int i = 0; i < 4; ++i)
                QCoreApplication::processEvents();

            // The whole page as one sheet, at the width the window gives it.
            ok = save(*page, folder,
                      QStringLiteral("settings-page-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;

            scroll->ensureVisible(0, 0);
            state.startShortcutCapture();
            shoot(QStringLiteral("recording"), size);
            state.cancelShortcutCapture();
            state.startOfflineModelDownload();
            fixture.harness.settle([&] { return state.offlineDownloadProgress() > 0.01; });
            scroll->ensureWidgetVisible(
                view.findChild<QWidget*>(QStringLiteral("engineCard-localSenseVoice")), 0, 40);
            shoot(QStringLiteral("downloading"), size);
            state.cancelOfflineModelDownload();
            scroll->ensureVisible(0, 0);

            // A click at the bottom of the page writes its outcome: the banner shows above the page, in view.
            state.setStatusBanner(QString());
            view.refreshNow();
            for (int i = 0; i < 4; ++i)
                QCoreApplication::processEvents();
            scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
            state.setStatusBanner(
                QStringLiteral("✅ 「DeepSeek 4 Flash」校验通过，已切换为当前唯一生效排版模型"));
            shoot(QStringLiteral("banner-scrolled"), size);
            state.setStatusBanner(QString());
            view.refreshNow();
            scroll->ensureVisible(0, 0);
        }
    }
    // The insights and history pages over a lived-in history (250 records over 8 months), the try-out box
    // while it listens, the history scrolled down, and both pages with no history at all.
    {
        DashboardFixture fixture;
        fixture.harness.workspace.setFrontmost(FrontmostApplication{
            QStringLiteral("Quorbell"), AppIdentity::bundleIdentifier(), 1, QStringLiteral("Quorbell")});
        AppState& state = fixture.start(0, 128);
        fixture.harness.changeConfig([](LLMConfig& config) { config.enableLiveInlineTyping = true; });
        state.setHistory(DashboardFixture::archive(250, 240, fixture.harness.scheduler.currentDate()));
        MainDashboardView view(state);
        const auto shoot = [&](SidebarTab tab, const QString& name, QSize size) {
            state.setSelectedTab(tab);
            view.refreshNow();
            // The history measures its records a batch per turn.
            for (int i = 0; i < 60; ++i) {
                fixture.harness.scheduler.runDue();
                QCoreApplication::processEvents();
            }
            ok = save(view, folder,
                      QStringLiteral("%1-%2x%3").arg(name).arg(size.width()).arg(size.height())) &&
                 ok;
        };
        for (QSize size : kSizes) {
            settle(view, size);
            shoot(SidebarTab::home, QStringLiteral("insights"), size);
            shoot(SidebarTab::history, QStringLiteral("history"), size);
            auto* bar = view.findChild<QScrollArea*>(QStringLiteral("pageArea"))->verticalScrollBar();
            bar->setValue(bar->maximum() / 2);
            for (int i = 0; i < 3; ++i)
                QCoreApplication::processEvents();
            ok = save(view, folder,
                      QStringLiteral("history-scrolled-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;
        }
        // Listening inside the window, with a live transcript in the try-out box; the home page scrolled
        // down.
        state.setSelectedTab(SidebarTab::home);
        view.refreshNow();
        state.setSandboxText(QStringLiteral("会议纪要："));
        fixture.harness.begin();
        fixture.harness.engine->onPartialResult(QStringLiteral("第一优化前端排版，第二检查接口延迟"), false);
        for (QSize size : kSizes) {
            settle(view, size);
            view.refreshNow();
            auto* bar = view.findChild<QScrollArea*>(QStringLiteral("pageArea"))->verticalScrollBar();
            bar->setValue(bar->maximum());
            QCoreApplication::processEvents();
            ok = save(view, folder,
                      QStringLiteral("insights-listening-%1x%2").arg(size.width()).arg(size.height())) &&
                 ok;
        }
        state.cancelDictationSession();
    }
    {
        DashboardFixture fixture;
        AppState& state = fixture.start(0, 0);
        MainDashboardView view(state);
        for (QSize size : kSizes) {
            settle(view, size);
            for (SidebarTab tab : {SidebarTab(SidebarTab::home), SidebarTab(SidebarTab::history)}) {
                state.setSelectedTab(tab);
                view.refreshNow();
                QCoreApplication::processEvents();
                ok = save(view, folder,
                          QStringLiteral("%1-empty-%2x%3")
                              .arg(tab == SidebarTab::home ? QStringLiteral("insights")
                                                           : QStringLiteral("history"))
                              .arg(size.width())
                              .arg(size.height())) &&
                     ok;
            }
        }
    }
    return ok ? 0 : 1;
}

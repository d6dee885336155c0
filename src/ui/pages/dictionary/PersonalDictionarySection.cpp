#include "ui/pages/dictionary/PersonalDictionarySection.h"

#include "core/AppState.h"
#include "lexicon/PersonalLexiconStore.h"
#include "ui/pages/dictionary/DictionaryInlineEditor.h"
#include "ui/pages/dictionary/FolderPicker.h"
#include "ui/pages/dictionary/LexiconChangeReport.h"
#include "ui/pages/dictionary/PillFlow.h"
#include "ui/theme/QBTheme.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBCard.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBInput.h"
#include "ui/widgets/QBPaint.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"
#include "ui/widgets/SettingsControls.h"
#include "util/Text.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QVBoxLayout>
#include <algorithm>

using namespace DictionaryRules;

namespace {
// The add card's row: the two fields, the category picker and the button on one line when the fields
// can show their placeholders whole there, else the fields on a line of their own above the other two.
class AddRow final : public QWidget {
public:
    static constexpr int kSpacing = 10;

    explicit AddRow(QWidget* parent) : QWidget(parent)
    {
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }
    void setParts(QLineEdit* term, QLineEdit* aliases, QWidget* picker, QWidget* button)
    {
        m_term = term;
        m_aliases = aliases;
        m_picker = picker;
        m_button = button;
        updateGeometry();
    }

    QSize sizeHint() const override { return {oneLineWidth(), heightForWidth(oneLineWidth())}; }
    QSize minimumSizeHint() const override { return {fieldsWidth(), heightForWidth(fieldsWidth())}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        if (!m_term)
            return 0;
        const int line = lineHeight();
        return width >= oneLineWidth() ? line : 2 * line + kSpacing;
    }

protected:
    void resizeEvent(QResizeEvent*) override
    {
        if (!m_term)
            return;
        const int line = lineHeight();
        const int pickerWidth = widthOf(m_picker);
        const int buttonWidth = widthOf(m_button);
        const auto place = [line](QWidget* widget, int x, int y, int w) {
            const int h = heightOf(widget);
            widget->setGeometry(x, y + (line - h) / 2, w, h);
        };
        const bool oneLine = width() >= oneLineWidth();
        const int fieldsRoom =
            oneLine ? width() - pickerWidth - buttonWidth - 3 * kSpacing : width() - kSpacing;
        // The room beyond what the fields need is shared equally between them.
        const int extra = std::max(0, fieldsRoom - needed(m_term) - needed(m_aliases));
        const int termWidth = needed(m_term) + extra / 2;
        place(m_term, 0, 0, termWidth);
        place(m_aliases, termWidth + kSpacing, 0, fieldsRoom - termWidth);
        const int y = oneLine ? 0 : line + kSpacing;
        place(m_button, width() - buttonWidth, y, buttonWidth);
        place(m_picker, width() - buttonWidth - kSpacing - pickerWidth, y, pickerWidth);
    }

private:
    // The size the widget takes: its own, within any fixed bounds it has.
    static int heightOf(const QWidget* widget)
    {
        return std::clamp(widget->sizeHint().height(), widget->minimumHeight(), widget->maximumHeight());
    }
    static int widthOf(const QWidget* widget)
    {
        return std::clamp(widget->sizeHint().width(), widget->minimumWidth(), widget->maximumWidth());
    }
    static int needed(const QLineEdit* field) { return qbInputWidthFor(field, field->placeholderText()); }
    int fieldsWidth() const { return m_term ? needed(m_term) + kSpacing + needed(m_aliases) : 0; }
    int oneLineWidth() const
    {
        return m_term ? fieldsWidth() + 2 * kSpacing + widthOf(m_picker) + widthOf(m_button) : 0;
    }
    int lineHeight() const
    {
        return std::max(
            {m_term->sizeHint().height(), m_picker->sizeHint().height(), m_button->sizeHint().height()});
    }

    QLineEdit* m_term = nullptr;
    QLineEdit* m_aliases = nullptr;
    QWidget* m_picker = nullptr;
    QWidget* m_button = nullptr;
};

constexpr int kBlockSpacing = 18;
constexpr qreal kButtonSymbolSize = 12;
constexpr int kCorpusHeight = 70;

const QString kFolderButtonTitle = QStringLiteral("扫描本地纪要目录");
const QString kFolderButtonBusyTitle = QStringLiteral("扫描中…");
const QString kBrowserButtonTitle = QStringLiteral("提取浏览高频词");
const QString kBrowserButtonBusyTitle = QStringLiteral("提取中…");
const QString kDistillTitle = QStringLiteral("AI 自动提纯专有词");
const QString kDistillBusyTitle = QStringLiteral("智能提纯中…");

// Latin names of the categories for object names.
QString categoryID(std::optional<LexiconCategory> category)
{
    if (!category)
        return QStringLiteral("all");
    switch (category->value) {
    case LexiconCategory::person:
        return QStringLiteral("person");
    case LexiconCategory::project:
        return QStringLiteral("project");
    case LexiconCategory::finance:
        return QStringLiteral("finance");
    case LexiconCategory::memo:
        return QStringLiteral("memo");
    case LexiconCategory::browser:
        return QStringLiteral("browser");
    case LexiconCategory::autoLearned:
        return QStringLiteral("autoLearned");
    }
    return {};
}

QBPill::Look filterPillLook(bool isActive)
{
    QBPill::Look look;
    look.font = QBTheme::font(11.5, isActive ? QFont::DemiBold : QFont::Medium);
    look.text = isActive ? QColor(Qt::white) : QBTheme::inkSecondary();
    look.fill = isActive ? QBTheme::violet() : QBTheme::faded(QBTheme::sandWell(), 0.75);
    look.paddingH = 11;
    look.paddingV = 5.5;
    return look;
}

// A bare symbol that takes clicks (the search box's clear button).
class SymbolButton final : public QAbstractButton {
public:
    SymbolButton(QBIcon icon, qreal size, const QColor& color, QWidget* parent)
        : QAbstractButton(parent), m_icon(icon), m_size(size), m_color(color)
    {
        setFixedSize(int(size) + 6, int(size) + 6);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
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

QBButton* compactButton(QBButton::Kind kind, const QString& title, const QString& name, QWidget* parent)
{
    auto* button = new QBButton(kind, title, parent, true);
    button->setObjectName(name);
    return button;
}

// Sets a button's title and enabled state where they differ.
void syncButton(QBButton* button, const QString& title, bool enabled)
{
    if (button->text() != title) {
        button->setText(title);
        button->updateGeometry();
    }
    button->setEnabled(enabled);
}

} // namespace

PersonalDictionarySection::PersonalDictionarySection(AppState& state, QWidget* parent)
    : DashboardPage(parent), m_state(state), m_folderPicker(std::make_unique<DialogFolderPicker>())
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kBlockSpacing);
    m_header = new QBEditorialHeader(headerBadge(0), QStringLiteral("个人专属词库"),
                                     QStringLiteral("模糊声韵骨架 0.5ms 极速近音召回 ｜ "
                                                    "点击任意词条即可原地修改标准词、编辑误听映射或一键删除"),
                                     this);
    m_header->setObjectName(QStringLiteral("dictionaryHeader"));
    layout->addWidget(m_header);
    layout->addWidget(buildImportCard());
    layout->addWidget(buildAddCard());
    layout->addWidget(buildFilterBlock());
    m_list = new DictionaryEntryList(this);
    layout->addWidget(m_list);
    // Height the shell gives beyond the blocks' own (the list shrinks as a search narrows it) stays below
    // them; no card stretches.
    layout->addStretch(1);
    connect(m_list, &DictionaryEntryList::partClicked, this, &PersonalDictionarySection::onEntryClicked);

    connect(&state.lexiconStore(), &PersonalLexiconStore::entriesChanged, this,
            [this] { m_entriesStale = true; });
    refresh();
}

PersonalDictionarySection::~PersonalDictionarySection() = default;

QWidget* PersonalDictionarySection::buildImportCard()
{
    auto* card = new QBCard(14, 16, this);
    card->setObjectName(QStringLiteral("importCard"));
    QVBoxLayout* column = card->contentLayout();
    column->setSpacing(12);

    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    top->addWidget(new QBTextLabel(QStringLiteral("会议纪要与名单智能提纯器"),
                                   QBTheme::font(14, QFont::DemiBold), QBTheme::inkPrimary(), card),
                   1);
    m_folderButton = compactButton(QBButton::Kind::secondary, kFolderButtonTitle,
                                   QStringLiteral("folderImportButton"), card);
    m_folderButton->setLeadingIcon(QBIcon::folderPlus, kButtonSymbolSize);
    m_browserButton = compactButton(QBButton::Kind::secondary, kBrowserButtonTitle,
                                    QStringLiteral("browserImportButton"), card);
    m_browserButton->setLeadingIcon(QBIcon::world, kButtonSymbolSize);
    top->addWidget(m_folderButton);
    top->addWidget(m_browserButton);
    column->addLayout(top);

    m_corpus = new QPlainTextEdit(card);
    m_corpus->setObjectName(QStringLiteral("corpusInput"));
    qbInputStyle(m_corpus);
    m_corpus->setFixedHeight(kCorpusHeight);
    m_corpus->setPlaceholderText(QStringLiteral(
        "在此粘贴会议纪要片段、PRD 文档或人名列表，可按行直接入库或交由大模型自动提纯专有名词与同音误听词…"));
    column->addWidget(m_corpus);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(8);
    // The data folder of the Linux build, where the lexicon file lives.
    bottom->addWidget(
        new QBTextLabel(QStringLiteral("所有词条仅存储于本机 ~/.local/share 目录，绝不进入代码仓库"),
                        QBTheme::font(11.5), QBTheme::inkMuted(), card),
        1);
    m_lineImportButton = compactButton(QBButton::Kind::secondary, QStringLiteral("按行直接导入"),
                                       QStringLiteral("lineImportButton"), card);
    m_distillButton =
        compactButton(QBButton::Kind::primary, kDistillTitle, QStringLiteral("distillButton"), card);
    bottom->addWidget(m_lineImportButton);
    bottom->addWidget(m_distillButton);
    column->addLayout(bottom);

    connect(m_folderButton, &QAbstractButton::clicked, this, [this] { importFolder(); });
    connect(m_browserButton, &QAbstractButton::clicked, this, [this] { importBrowserHistory(); });
    connect(m_lineImportButton, &QAbstractButton::clicked, this,
            &PersonalDictionarySection::importCorpusLines);
    connect(m_distillButton, &QAbstractButton::clicked, this, [this] { distillCorpus(); });
    connect(m_corpus, &QPlainTextEdit::textChanged, this, &PersonalDictionarySection::syncImportControls);
    return card;
}

QWidget* PersonalDictionarySection::buildAddCard()
{
    auto* card = new QBCard(13, 13, this);
    card->setObjectName(QStringLiteral("addCard"));
    auto* row = new AddRow(card);
    m_newTerm = new QLineEdit(row);
    m_newTerm->setObjectName(QStringLiteral("newTermField"));
    m_newTerm->setPlaceholderText(QStringLiteral("新增标准词（人名 / 产品 / 术语）"));
    qbInputStyle(m_newTerm);
    m_newAliases = new QLineEdit(row);
    m_newAliases->setObjectName(QStringLiteral("newAliasesField"));
    m_newAliases->setPlaceholderText(QStringLiteral("常见误听词，逗号分隔（可选）"));
    qbInputStyle(m_newAliases);
    m_newCategory = makeCategoryPicker(row);
    m_newCategory->setObjectName(QStringLiteral("newCategoryPicker"));
    auto* add = new QBButton(QBButton::Kind::primary, QStringLiteral("添加词条"), row);
    add->setObjectName(QStringLiteral("addTermButton"));
    row->setParts(m_newTerm, m_newAliases, m_newCategory, add);
    card->contentLayout()->addWidget(row);
    connect(add, &QAbstractButton::clicked, this, &PersonalDictionarySection::addTerm);
    return card;
}

QWidget* PersonalDictionarySection::buildFilterBlock()
{
    auto* block = new QWidget(this);
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);

    auto* filters = new QHBoxLayout;
    filters->setSpacing(8);
    // The pills wrap in a narrow window; the batch buttons stay at the end of the first line.
    auto* pills = new PillFlow(8, block);
    filters->addWidget(pills, 1, Qt::AlignTop);
    QList<std::optional<LexiconCategory>> pillCategories{std::nullopt};
    for (LexiconCategory category : LexiconCategory::allCases())
        pillCategories.append(category);
    for (const std::optional<LexiconCategory>& category : pillCategories) {
        auto* pill = new QBPill(QString(), filterPillLook(false), block);
        pill->setObjectName(QStringLiteral("filterPill-") + categoryID(category));
        pill->setClickable(true);
        connect(pill, &QAbstractButton::clicked, this, [this, category] {
            m_categoryFilter = filterAfterTap(category, m_categoryFilter);
            syncPills();
            applyFilter();
        });
        m_pills.append(pill);
        pills->addWidget(pill);
    }
    m_deleteSelectedButton = compactButton(QBButton::Kind::destructive, batchDeleteTitle(0),
                                           QStringLiteral("deleteSelectedButton"), block);
    m_deleteSelectedButton->setLeadingIcon(QBIcon::trashFilled, kButtonSymbolSize);
    m_batchButton = compactButton(QBButton::Kind::secondary, QStringLiteral("批量选择删除"),
                                  QStringLiteral("batchToggleButton"), block);
    filters->addWidget(m_deleteSelectedButton, 0, Qt::AlignTop);
    filters->addWidget(m_batchButton, 0, Qt::AlignTop);
    column->addLayout(filters);
    connect(m_deleteSelectedButton, &QAbstractButton::clicked, this,
            &PersonalDictionarySection::removeSelected);
    connect(m_batchButton, &QAbstractButton::clicked, this, &PersonalDictionarySection::toggleBatchMode);

    auto* searchBox = new QBCard(9, 0, block);
    searchBox->setObjectName(QStringLiteral("searchBox"));
    searchBox->setShadow(std::nullopt);
    searchBox->contentLayout()->setContentsMargins(12, 8, 12, 8);
    auto* search = new QHBoxLayout;
    search->setSpacing(8);
    search->addWidget(new QBIconView(QBIcon::search, 12.5, QBTheme::inkMuted(), searchBox));
    m_search = new QLineEdit(searchBox);
    m_search->setObjectName(QStringLiteral("searchField"));
    m_search->setPlaceholderText(QStringLiteral("搜索词条、误听词或拼音（如 deepseek / zhangwei / mcp）…"));
    m_search->setFrame(false);
    m_search->setFont(QBTheme::font(13));
    // Plain and unframed: the box around it is the frame.
    m_search->setStyleSheet(
        QStringLiteral("QLineEdit { background: transparent; border: none; padding: 0; }"));
    search->addWidget(m_search, 1);
    m_clearSearch = new SymbolButton(QBIcon::circleXFilled, 13, QBTheme::inkMuted(), searchBox);
    m_clearSearch->setObjectName(QStringLiteral("clearSearchButton"));
    m_clearSearch->hide();
    search->addWidget(m_clearSearch);
    searchBox->contentLayout()->addLayout(search);
    column->addWidget(searchBox);
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_clearSearch->setVisible(!text.isEmpty());
        applyFilter();
    });
    connect(m_clearSearch, &QAbstractButton::clicked, m_search, &QLineEdit::clear);
    return block;
}

void PersonalDictionarySection::setFolderPicker(std::unique_ptr<FolderPicker> picker)
{
    m_folderPicker = std::move(picker);
}

void PersonalDictionarySection::setImportLocations(TermImportLocations locations)
{
    m_importLocations = std::move(locations);
}

void PersonalDictionarySection::refresh()
{
    // The shell refreshes on every change of the state too (phases during a dictation): only a change of
    // the lexicon costs anything here.
    if (m_entriesStale)
        reloadEntries();
}

void PersonalDictionarySection::reloadEntries()
{
    m_entriesStale = false;
    const PersonalLexiconStore& store = m_state.lexiconStore();
    m_entries = store.entries();
    // A change of a large lexicon is mostly one entry: the index is updated, not rebuilt; told where, when
    // it is the one change since the last update, else by comparing the entries.
    const auto& change = store.lastChange();
    if (change && store.entriesRevision() == m_indexedRevision + 1)
        m_index.update(m_entries, change->first, change->removed, change->inserted);
    else
        m_index.update(m_entries);
    m_indexedRevision = store.entriesRevision();
    // Selected entries removed meanwhile (by learning, a merge) are no longer selected.
    if (!m_selected.isEmpty()) {
        QSet<QUuid> present;
        for (const LexiconEntry& entry : std::as_const(m_entries)) {
            if (m_selected.contains(entry.id))
                present.insert(entry.id);
        }
        m_selected = std::move(present);
    }
    m_header->setBadge(headerBadge(m_entries.size()));
    syncPills();
    syncBatchControls();
    syncImportControls();
    applyFilter();
}

void PersonalDictionarySection::changeEntries(const std::function<void()>& change)
{
    m_entries = {};
    m_list->releaseEntries();
    change();
    reloadEntries();
}

QList<LexiconEntry> PersonalDictionarySection::filteredEntries() const
{
    // Every entry in store order: the store's list itself, shared rather than copied.
    if (!m_categoryFilter && m_search->text().isEmpty())
        return m_entries;
    const QList<qsizetype> passed = m_index.filter(m_categoryFilter, m_search->text());
    if (passed.size() == m_entries.size())
        return m_entries;
    QList<LexiconEntry> shown;
    shown.reserve(passed.size());
    for (qsizetype index : passed)
        shown.append(m_entries[index]);
    return shown;
}

void PersonalDictionarySection::applyFilter()
{
    m_list->setEntries(filteredEntries());
    m_list->setEditor(m_editor, m_editingID.value_or(QUuid()));
}

void PersonalDictionarySection::syncPills()
{
    // m_pills holds "全部" and then the categories in the enum's order.
    QList<const FilterPill*> shown(m_pills.size(), nullptr);
    const QList<FilterPill> pills = filterPills(m_index.counts(), m_entries.size(), m_categoryFilter);
    for (const FilterPill& pill : pills)
        shown[pill.category ? int(pill.category->value) + 1 : 0] = &pill;
    for (int i = 0; i < m_pills.size(); ++i) {
        QBPill* pill = m_pills[i];
        pill->setVisible(shown[i] != nullptr);
        if (!shown[i])
            continue;
        if (pill->text() != shown[i]->title) {
            pill->setText(shown[i]->title);
            pill->updateGeometry();
        }
        if (pill->look().fill != filterPillLook(shown[i]->isActive).fill)
            pill->setLook(filterPillLook(shown[i]->isActive));
    }
}

void PersonalDictionarySection::syncBatchControls()
{
    syncButton(m_batchButton, m_batchMode ? QStringLiteral("完成批量清理") : QStringLiteral("批量选择删除"),
               true);
    m_deleteSelectedButton->setVisible(m_batchMode && !m_selected.isEmpty());
    syncButton(m_deleteSelectedButton, batchDeleteTitle(m_selected.size()), true);
    m_list->setBatchMode(m_batchMode);
    m_list->setSelection(m_selected);
}

void PersonalDictionarySection::syncImportControls()
{
    const bool hasCorpus = !m_corpus->document()->isEmpty();
    syncButton(m_folderButton, m_isImportingFolder ? kFolderButtonBusyTitle : kFolderButtonTitle,
               !m_isImportingFolder);
    syncButton(m_browserButton, m_isImportingBrowser ? kBrowserButtonBusyTitle : kBrowserButtonTitle,
               !m_isImportingBrowser);
    syncButton(m_lineImportButton, m_lineImportButton->text(), hasCorpus);
    syncButton(m_distillButton, m_isDistilling ? kDistillBusyTitle : kDistillTitle,
               hasCorpus && !m_isDistilling);
}

// --- entries ---------------------------------------------------------------------------------------------

void PersonalDictionarySection::addTerm()
{
    const QStringList aliases = splitAliases(m_newAliases->text(), AliasSource::addForm);
    PersonalLexiconStore& store = m_state.lexiconStore();
    // The store trims the term and ignores one that is too short; one it refuses for a reason (too long, no
    // room left) it says why, and what was typed stays for the user to change.
    bool refused = false;
    const QMetaObject::Connection watch =
        connect(&store, &PersonalLexiconStore::additionRefused, this, [&refused] { refused = true; });
    bool added = false;
    changeEntries([&] {
        added = store.upsert(m_newTerm->text(), aliases,
                             LexiconCategory::Value(m_newCategory->currentData().toInt()), kAddedWeight);
    });
    disconnect(watch);
    if (!added && refused)
        return;
    m_newTerm->clear();
    m_newAliases->clear();
}

void PersonalDictionarySection::onEntryClicked(const QUuid& id, DictionaryEntryList::Part part)
{
    const int row = m_list->rowOf(id);
    if (row < 0)
        return;
    switch (part) {
    case DictionaryEntryList::Part::row:
        if (m_batchMode)
            toggleSelection(id);
        else
            beginInlineEdit(m_list->entryAt(row));
        break;
    case DictionaryEntryList::Part::checkbox:
        toggleSelection(id);
        break;
    case DictionaryEntryList::Part::edit:
        beginInlineEdit(m_list->entryAt(row));
        break;
    case DictionaryEntryList::Part::remove:
        removeEntry(id);
        break;
    }
}

void PersonalDictionarySection::toggleSelection(const QUuid& id)
{
    if (!m_selected.remove(id))
        m_selected.insert(id);
    syncBatchControls();
}

void PersonalDictionarySection::beginInlineEdit(const LexiconEntry& entry)
{
    if (!m_editor) {
        m_editor = new DictionaryInlineEditor(m_list);
        connect(m_editor, &DictionaryInlineEditor::saveRequested, this,
                [this] { commitInlineEdit(m_editingID.value_or(QUuid())); });
        connect(m_editor, &DictionaryInlineEditor::cancelRequested, this,
                &PersonalDictionarySection::closeInlineEdit);
        connect(m_editor, &DictionaryInlineEditor::removeRequested, this, [this] {
            const QUuid id = m_editingID.value_or(QUuid());
            closeInlineEdit();
            removeEntry(id);
        });
    }
    // One editor: opening another entry drops the edit in progress.
    m_editingID = entry.id;
    m_editor->setValues(entry.term, editorAliasText(entry.aliases), entry.category, isPinned(entry));
    m_list->setEditor(m_editor, entry.id);
    m_editor->termField()->setFocus();
}

void PersonalDictionarySection::commitInlineEdit(QUuid id)
{
    if (!m_editor || m_editingID != id)
        return;
    const QString term = m_editor->term();
    // The store ignores a blank term: nothing was saved, so nothing is reported and the edit stays open.
    if (Text::isBlank(term))
        return;
    const QStringList aliases = splitAliases(m_editor->aliases(), AliasSource::inlineEditor);
    const qint64 weight = m_editor->isPinned() ? kSavedPinnedWeight : kSavedUnpinnedWeight;
    const LexiconCategory category = m_editor->category();
    PersonalLexiconStore& store = m_state.lexiconStore();
    const QPointer<LexiconChangeReport> report = LexiconChangeReport::begin(m_state);
    bool updated = false;
    changeEntries([&] { updated = store.updateEntry(id, term, aliases, category, weight); });
    if (!updated) {
        // Refused: the banner says why, and the editor stays open with what was typed. An entry that is gone
        // meanwhile leaves nothing to edit.
        report->drop();
        const bool stillStored = std::any_of(store.entries().cbegin(), store.entries().cend(),
                                             [&](const LexiconEntry& e) { return e.id == id; });
        if (!stillStored)
            closeInlineEdit();
        return;
    }
    report->finish(updatedBanner(term));
    closeInlineEdit();
}

void PersonalDictionarySection::closeInlineEdit()
{
    m_editingID.reset();
    m_list->setEditor(nullptr, QUuid());
    if (m_editor) {
        // Closing runs inside the editor's own signal: it goes once that returns.
        m_editor->hide();
        m_editor->deleteLater();
        m_editor = nullptr;
    }
}

void PersonalDictionarySection::removeEntry(QUuid id)
{
    changeEntries([&] { m_state.lexiconStore().remove(id); });
    // A deleted entry leaves the batch selection too, so the batch count never names what is gone.
    if (m_selected.remove(id))
        syncBatchControls();
}

void PersonalDictionarySection::toggleBatchMode()
{
    m_batchMode = !m_batchMode;
    if (!m_batchMode)
        m_selected.clear();
    syncBatchControls();
}

void PersonalDictionarySection::removeSelected()
{
    PersonalLexiconStore& store = m_state.lexiconStore();
    const qsizetype before = store.entries().size();
    const QPointer<LexiconChangeReport> report = LexiconChangeReport::begin(m_state);
    changeEntries([&] { store.removeBatch(m_selected); });
    const qsizetype removed = before - store.entries().size();
    m_selected.clear();
    syncBatchControls();
    report->finish(batchRemovedBanner(removed));
}

// --- imports ---------------------------------------------------------------------------------------------

void PersonalDictionarySection::importCorpusLines()
{
    QList<PersonalLexiconStore::BulkItem> items;
    const auto category = LexiconCategory::Value(m_newCategory->currentData().toInt());
    for (const QString& term : corpusLineTerms(m_corpus->toPlainText()))
        items.append({term, {}, category});
    const QPointer<LexiconChangeReport> report = LexiconChangeReport::begin(m_state);
    const int added = m_state.lexiconStore().bulkUpsert(items);
    m_corpus->clear();
    report->finish(lineImportBanner(added));
}

void PersonalDictionarySection::reportImport(const QPointer<AppState>& state,
                                             const QPointer<LexiconChangeReport>& report,
                                             const TermImportResult& result, const QString& doneLine,
                                             const QString& failedLine)
{
    if (!report)
        return; // the store, and the state with it, went away during the import
    if (result.status) {
        report->finish(doneLine);
        return;
    }
    report->drop();
    if (state)
        state->setStatusBanner(failedLine);
}

QCoro::Task<> PersonalDictionarySection::importFolder()
{
    const QPointer<PersonalDictionarySection> self(this);
    const QPointer<AppState> state(&m_state);
    const std::optional<QString> folder = co_await m_folderPicker->chooseFolder(this);
    if (!self || !state || !folder)
        co_return;
    m_isImportingFolder = true;
    syncImportControls();
    const QPointer<LexiconChangeReport> report = LexiconChangeReport::begin(*state);
    const TermImportResult result =
        co_await state->lexiconStore().importFromMarkdownFolder(*folder, kFolderImportMaxEntries);
    reportImport(state, report, result, folderImportBanner(result.added),
                 folderImportFailedBanner(result.status.error));
    if (self) {
        m_isImportingFolder = false;
        syncImportControls();
    }
}

QCoro::Task<> PersonalDictionarySection::importBrowserHistory()
{
    const QPointer<PersonalDictionarySection> self(this);
    const QPointer<AppState> state(&m_state);
    m_isImportingBrowser = true;
    syncImportControls();
    const QPointer<LexiconChangeReport> report = LexiconChangeReport::begin(m_state);
    const TermImportResult result = co_await m_state.lexiconStore().importFromLocalBrowserHistory(
        kBrowserImportMaxEntries, m_importLocations);
    reportImport(state, report, result, browserImportBanner(result.added),
                 browserImportFailedBanner(result.status.error));
    if (self) {
        m_isImportingBrowser = false;
        syncImportControls();
    }
}

QCoro::Task<> PersonalDictionarySection::distillCorpus()
{
    const QString text = m_corpus->toPlainText();
    if (text.isEmpty() || m_isDistilling)
        co_return;
    const QPointer<PersonalDictionarySection> self(this);
    m_isDistilling = true;
    syncImportControls();
    // The state reports the outcome, success or failure, in the banner itself.
    co_await m_state.distillPastedCorpus(text);
    if (!self)
        co_return;
    m_corpus->clear();
    m_isDistilling = false;
    syncImportControls();
}

#include "lexicon/LexiconFile.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/dictionary/DictionaryInlineEditor.h"
#include "ui/pages/dictionary/DictionaryRules.h"
#include "ui/pages/dictionary/FolderPicker.h"
#include "ui/pages/dictionary/PersonalDictionarySection.h"
#include "ui/support/DashboardFixture.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBPill.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using namespace DictionaryRules;
using Part = DictionaryEntryList::Part;

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

LexiconEntry entry(const char* term, LexiconCategory category = LexiconCategory::project, qint64 weight = 5,
                   QStringList aliases = {})
{
    return LexiconEntry(QUuid::createUuid(), u(term), aliases, QString(), category, weight, 0,
                        Timestamp::fromUnixSeconds(1.74e9));
}

TEST(DictionaryRulesTest, AliasTextSplitsAtEverySeparatorAndKeepsOrder)
{
    EXPECT_EQ(splitAliases(u("张伟，章 维 / 张威；张薇;"), AliasSource::addForm),
              (QStringList{u("张伟"), u("章 维"), u("张威"), u("张薇")}));
    EXPECT_EQ(splitAliases(u("a、a,,b"), AliasSource::addForm), (QStringList{u("a"), u("a"), u("b")}))
        << "repeats kept, empty pieces dropped";
    // Only the editor trims line breaks.
    EXPECT_EQ(splitAliases(u("\n甲\t,乙 "), AliasSource::inlineEditor), (QStringList{u("甲"), u("乙")}));
    EXPECT_EQ(splitAliases(u("\n甲\t,乙 "), AliasSource::addForm), (QStringList{u("\n甲"), u("乙")}));
    EXPECT_EQ(editorAliasText({u("a"), u("b")}), u("a，b"));
}

TEST(DictionaryRulesTest, CorpusLinesKeepTermsOfTwoOrMoreCharacters)
{
    EXPECT_EQ(corpusLineTerms(u("星河计划\n我\n张伟，李娜")),
              (QStringList{u("星河计划"), u("张伟"), u("李娜")}));
    // The slash is not a separator here; a flag emoji is one character.
    EXPECT_EQ(corpusLineTerms(u("CI/CD; 🇨🇳 ;\r\n  a ")), (QStringList{u("CI/CD")}));
}

TEST(DictionaryRulesTest, ChipsShowFourAliasesAndCountTheRest)
{
    const QStringList six{u("a"), u("b"), u("c"), u("d"), u("e"), u("f")};
    EXPECT_EQ(aliasChips(six).shown, six.mid(0, 4));
    EXPECT_EQ(aliasChips(six).more, 2);
    EXPECT_EQ(aliasChips(six.mid(0, 5)).more, 1);
    EXPECT_EQ(aliasChips(six.mid(0, 4)).more, 0);
    EXPECT_TRUE(isPinned(entry("x", LexiconCategory::person, 9)));
    EXPECT_FALSE(isPinned(entry("x", LexiconCategory::person, 8)));
}

TEST(DictionaryRulesTest, PillsCountTheWholeLexiconAndKeepTheActiveEmptyCategory)
{
    const QList<LexiconEntry> entries{entry("甲乙", LexiconCategory::person),
                                      entry("丙丁", LexiconCategory::person),
                                      entry("Memo", LexiconCategory::memo)};
    const CategoryCounts counts = categoryCounts(entries);
    QStringList titles;
    for (const FilterPill& pill : filterPills(counts, entries.size(), std::nullopt))
        titles.append(pill.title);
    EXPECT_EQ(titles, (QStringList{u("全部 (3)"), u("人名/称呼 (2)"), u("纪要/备忘 (1)")}));

    const QList<FilterPill> withEmpty = filterPills(counts, entries.size(), LexiconCategory::finance);
    ASSERT_EQ(withEmpty.size(), 4);
    EXPECT_EQ(withEmpty[2].title, u("标的/商业 (0)")) << "the active filter keeps its pill, in enum order";
    EXPECT_TRUE(withEmpty[2].isActive);
    EXPECT_FALSE(withEmpty[0].isActive);

    EXPECT_EQ(filterAfterTap(LexiconCategory::memo, std::nullopt), LexiconCategory::memo);
    EXPECT_EQ(filterAfterTap(LexiconCategory::memo, LexiconCategory::memo), std::nullopt) << "a toggle";
    EXPECT_EQ(filterAfterTap(std::nullopt, LexiconCategory::memo), std::nullopt);
}

TEST(DictionaryRulesTest, SearchMatchesTermKeyOrAliasIgnoringCaseAndNeverTrims)
{
    QList<LexiconEntry> entries{entry("DeepSeek", LexiconCategory::project, 5, {u("迪普西克")}),
                                entry("张伟", LexiconCategory::person), entry("a  b", LexiconCategory::memo),
                                entry("Model Context", LexiconCategory::project, 5, {u("m c p")})};
    entries[1].phoneticKey = u("zhangwei");
    const SearchIndex index(entries);
    EXPECT_EQ(index.filter(std::nullopt, u("deepSEEK")), (QList<qsizetype>{0}));
    EXPECT_EQ(index.filter(std::nullopt, u("普西")), (QList<qsizetype>{0}));
    EXPECT_EQ(index.filter(std::nullopt, u("ZHANGwei")), (QList<qsizetype>{1}));
    EXPECT_EQ(index.filter(std::nullopt, u("  ")), (QList<qsizetype>{2})) << "two spaces are searched for";
    EXPECT_TRUE(index.filter(std::nullopt, u("kc")).isEmpty()) << "no match across two fields";
    EXPECT_EQ(index.filter(std::nullopt, QString()).size(), 4);
    EXPECT_EQ(index.filter(LexiconCategory::project, u("e")), (QList<qsizetype>{0, 3}));
}

// An index kept up to date edit by edit is the index built afresh, whatever the edit.
TEST(DictionaryRulesTest, AnUpdatedSearchIndexIsTheOneBuiltAfresh)
{
    QList<LexiconEntry> entries;
    for (int i = 0; i < 8; ++i)
        entries.append(entry("Term", LexiconCategory::project, 5, {QStringLiteral("alias%1").arg(i)}));
    SearchIndex index(entries);
    const auto change = [&](const char* what, const std::function<void(QList<LexiconEntry>&)>& edit) {
        SCOPED_TRACE(what);
        QList<LexiconEntry> changed = entries;
        edit(changed);
        index.update(changed);
        entries = changed;
        const SearchIndex fresh(entries);
        EXPECT_TRUE(index == fresh);
        EXPECT_EQ(index.filter(std::nullopt, u("E")), fresh.filter(std::nullopt, u("E")));
    };
    change("added at the front", [](auto& list) { list.prepend(entry("New", LexiconCategory::memo)); });
    change("term edited in the middle", [](auto& list) { list[4].term = u("Renamed"); });
    change("alias of equal text, not shared", [](auto& list) {
        list[2].aliases = {QString(list[2].aliases[0].data(), list[2].aliases[0].size()) + u("x")};
    });
    change("category only", [](auto& list) { list[3].category = LexiconCategory::person; });
    change("removed first and last", [](auto& list) {
        list.removeFirst();
        list.removeLast();
    });
    change("two ends edited at once", [](auto& list) {
        list.first().phoneticKey = u("key");
        list.last().term = u("Tail");
    });
    change("moved", [](auto& list) { list.move(0, list.size() - 1); });
    change("every key filled", [](auto& list) {
        for (LexiconEntry& e : list)
            e.phoneticKey = e.term.toLower();
    });
    change("emptied", [](auto& list) { list.clear(); });
    change("filled again", [](auto& list) { list.append(entry("Again", LexiconCategory::memo)); });
}

// Answers the folder question from the test, and counts the questions.
class ScriptedFolderPicker final : public FolderPicker {
public:
    explicit ScriptedFolderPicker(std::optional<QString> answer) : m_answer(std::move(answer)) {}
    QCoro::Task<std::optional<QString>> chooseFolder(QWidget*) override
    {
        ++asked;
        co_return m_answer;
    }
    int asked = 0;

private:
    std::optional<QString> m_answer;
};

class DictionaryPageTest : public ::testing::Test {
protected:
    void open(QList<LexiconEntry> entries)
    {
        AppState& state = fixture.start(0, -1);
        state.lexiconStore().setEntries(std::move(entries));
        state.setSelectedTab(SidebarTab::dictionary);
        view = std::make_unique<MainDashboardView>(state);
        view->resize(1200, 800);
        view->show();
        page = qobject_cast<PersonalDictionarySection*>(view->page());
        ASSERT_NE(page, nullptr);
    }
    AppState& state() { return *fixture.harness.state; }
    PersonalLexiconStore& store() { return state().lexiconStore(); }
    DictionaryEntryList& list() { return *page->entryList(); }
    void turn() { QCoreApplication::processEvents(); }
    template <typename T> T* find(const QString& name)
    {
        T* found = view->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    // A click that changes the lexicon saves it off the main thread; its outcome is in once the click
    // returns.
    void click(const QString& name)
    {
        QTest::mouseClick(find<QWidget>(name), Qt::LeftButton);
        fixture.harness.settleSaves();
    }
    void clickRow(int row, Part part = Part::row)
    {
        QTest::mouseClick(&list(), Qt::LeftButton, {}, list().partCenter(row, part));
        fixture.harness.settleSaves();
    }
    int rowOf(const char* term)
    {
        for (int row = 0; row < list().rowCount(); ++row)
            if (list().entryAt(row).term == u(term))
                return row;
        return -1;
    }
    QStringList shownTerms()
    {
        QStringList terms;
        for (int row = 0; row < list().rowCount(); ++row)
            terms.append(list().entryAt(row).term);
        return terms;
    }
    const LexiconEntry* stored(const char* term)
    {
        for (const LexiconEntry& e : store().entries())
            if (e.term == u(term))
                return &e;
        return nullptr;
    }
    bool settle(const std::function<bool()>& done)
    {
        return fixture.harness.settle([&] {
            turn();
            return done();
        });
    }

    DashboardFixture fixture;
    std::unique_ptr<MainDashboardView> view;
    PersonalDictionarySection* page = nullptr;
};

TEST_F(DictionaryPageTest, FiltersAndSearchNarrowTheListWhileCountsStayWhole)
{
    open({entry("张伟", LexiconCategory::person), entry("DeepSeek", LexiconCategory::project),
          entry("星河计划", LexiconCategory::project), entry("季度纪要", LexiconCategory::memo)});
    EXPECT_EQ(find<QBEditorialHeader>(u("dictionaryHeader"))->badge(), u("FUZZY PHONETIC INDEX · 4 TERMS"));
    EXPECT_EQ(find<QBPill>(u("filterPill-all"))->text(), u("全部 (4)"));
    EXPECT_EQ(find<QBPill>(u("filterPill-project"))->text(), u("项目/技术 (2)"));
    EXPECT_FALSE(find<QBPill>(u("filterPill-finance"))->isVisible()) << "no entries, no pill";

    click(u("filterPill-project"));
    EXPECT_EQ(shownTerms(), (QStringList{u("DeepSeek"), u("星河计划")}));
    find<QLineEdit>(u("searchField"))->setText(u("deep"));
    EXPECT_EQ(shownTerms(), (QStringList{u("DeepSeek")}));
    EXPECT_TRUE(find<QWidget>(u("clearSearchButton"))->isVisible());
    EXPECT_EQ(find<QBPill>(u("filterPill-all"))->text(), u("全部 (4)")) << "counts ignore the filters";

    click(u("clearSearchButton"));
    EXPECT_EQ(find<QLineEdit>(u("searchField"))->text(), QString());
    EXPECT_FALSE(find<QWidget>(u("clearSearchButton"))->isVisible());
    click(u("filterPill-project"));
    EXPECT_EQ(list().rowCount(), 4) << "tapping the active pill clears the filter";

    // The memo filter stays on after its last entry goes: the pill shows 0 and can be tapped off.
    click(u("filterPill-memo"));
    clickRow(0, Part::remove);
    turn();
    EXPECT_EQ(list().rowCount(), 0);
    EXPECT_EQ(find<QBPill>(u("filterPill-memo"))->text(), u("纪要/备忘 (0)"));
    EXPECT_EQ(find<QBEditorialHeader>(u("dictionaryHeader"))->badge(), u("FUZZY PHONETIC INDEX · 3 TERMS"));
    click(u("filterPill-memo"));
    EXPECT_FALSE(find<QBPill>(u("filterPill-memo"))->isVisible());
    EXPECT_EQ(list().rowCount(), 3);
}

TEST_F(DictionaryPageTest, RowsShowThePinBadgeAndAtMostFourAliasChips)
{
    const QStringList six{u("甲一"), u("乙二"), u("丙三"), u("丁四"), u("戊五"), u("己六")};
    open({entry("六个", LexiconCategory::person, 9, six),
          entry("五个", LexiconCategory::person, 8, six.mid(0, 5)),
          entry("四个", LexiconCategory::person, 5, six.mid(0, 4)), entry("无", LexiconCategory::memo, 5)});
    const auto layout = [&](const char* term) { return list().rowLayout(rowOf(term)); };
    EXPECT_EQ(layout("六个").chipTexts, six.mid(0, 4));
    EXPECT_EQ(layout("六个").moreText, u("+2"));
    EXPECT_TRUE(layout("六个").pinBadge.has_value()) << "weight 9 is pinned";
    EXPECT_EQ(layout("五个").moreText, u("+1"));
    EXPECT_FALSE(layout("五个").pinBadge.has_value()) << "weight 8 is not";
    EXPECT_EQ(layout("四个").chipTexts.size(), 4);
    EXPECT_FALSE(layout("四个").more.has_value());
    EXPECT_TRUE(layout("无").chips.isEmpty());
    EXPECT_FALSE(layout("无").phoneticText.isEmpty()) << "the store fills the phonetic key";

    // Narrow rows give up chips before they overlap the category tag; the counter names the rest.
    view->resize(MainDashboardView::kMinimumWidth, MainDashboardView::kMinimumHeight);
    turn();
    const DictionaryEntryList::RowLayout narrow = layout("六个");
    EXPECT_EQ(narrow.chips.size() + narrow.moreText.mid(1).toInt(), 6);
    for (const QRectF& chip : narrow.chips)
        EXPECT_LT(chip.right(), narrow.category.left());
}

TEST_F(DictionaryPageTest, InlineEditorSavesCancelsAndKeepsABlankTermOpen)
{
    open({entry("张伟", LexiconCategory::person, 9, {u("章维"), u("张威")}),
          entry("李娜", LexiconCategory::person)});
    clickRow(rowOf("张伟"));
    DictionaryInlineEditor* editor = page->inlineEditor();
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(editor->term(), u("张伟"));
    EXPECT_EQ(editor->aliases(), u("章维，张威"));
    EXPECT_TRUE(editor->isPinned()) << "weight 9 opens with the pin ticked";
    EXPECT_EQ(editor->findChild<QComboBox*>(u("editCategory"))->currentText(), u("人名/称呼"));

    // A blank term: the store would ignore it, so no success is shown and the edit stays.
    editor->termField()->setText(u("  "));
    QTest::mouseClick(editor->findChild<QWidget*>(u("editSave")), Qt::LeftButton);
    EXPECT_EQ(state().statusBanner(), QString());
    EXPECT_EQ(page->inlineEditor(), editor);
    EXPECT_EQ(stored("张伟")->weight, 9);

    QTest::mouseClick(editor->findChild<QWidget*>(u("editCancel")), Qt::LeftButton);
    EXPECT_EQ(page->inlineEditor(), nullptr);
    EXPECT_EQ(stored("张伟")->aliases, (QStringList{u("章维"), u("张威")})) << "cancel discards";

    // Opening another entry replaces the edit; Return saves; a cleared pin stores weight 7.
    clickRow(rowOf("张伟"), Part::edit);
    clickRow(rowOf("李娜"));
    EXPECT_EQ(page->inlineEditor()->term(), u("李娜"));
    clickRow(rowOf("张伟"), Part::edit);
    editor = page->inlineEditor();
    editor->termField()->setText(u("张 伟伟"));
    editor->aliasField()->setText(u("章维 / 张威\n；"));
    editor->findChild<QCheckBox*>(u("editPinned"))->setChecked(false);
    editor->findChild<QComboBox*>(u("editCategory"))->setCurrentIndex(1);
    QTest::keyClick(editor->termField(), Qt::Key_Return);
    turn();
    EXPECT_EQ(page->inlineEditor(), nullptr);
    fixture.harness.settleSaves();
    EXPECT_EQ(state().statusBanner(), u("✅ 已更新词条「张 伟伟」并同步纠偏映射"));
    const LexiconEntry* saved = stored("张 伟伟");
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->weight, 7);
    EXPECT_EQ(saved->category, LexiconCategory::project);
    EXPECT_TRUE(saved->aliases.contains(u("张伟"))) << "the old term becomes an alias";
    EXPECT_TRUE(saved->aliases.contains(u("张威")));
}

TEST_F(DictionaryPageTest, BatchModeSelectsDeletesAndCountsWhatWasRemoved)
{
    open({entry("甲甲"), entry("乙乙"), entry("丙丙"), entry("丁丁")});
    click(u("batchToggleButton"));
    EXPECT_EQ(find<QBButton>(u("batchToggleButton"))->text(), u("完成批量清理"));
    EXPECT_FALSE(find<QWidget>(u("deleteSelectedButton"))->isVisible());
    clickRow(rowOf("甲甲"));
    clickRow(rowOf("乙乙"), Part::checkbox);
    clickRow(rowOf("丙丙"));
    EXPECT_EQ(page->inlineEditor(), nullptr) << "a row tap selects in batch mode";
    EXPECT_EQ(find<QBButton>(u("deleteSelectedButton"))->text(), u("删除已选 (3)"));

    // A single delete also leaves the selection.
    clickRow(rowOf("丙丙"), Part::remove);
    turn();
    EXPECT_EQ(page->selectedIDs().size(), 2);
    EXPECT_EQ(find<QBButton>(u("deleteSelectedButton"))->text(), u("删除已选 (2)"));

    click(u("deleteSelectedButton"));
    turn();
    EXPECT_EQ(state().statusBanner(), u("🗑️ 已批量清理 2 个词条"));
    EXPECT_EQ(shownTerms(), (QStringList{u("丁丁")}));
    EXPECT_TRUE(page->isBatchMode()) << "batch mode stays on";
    EXPECT_FALSE(find<QWidget>(u("deleteSelectedButton"))->isVisible());

    clickRow(0);
    EXPECT_TRUE(find<QWidget>(u("deleteSelectedButton"))->isVisible());
    clickRow(0);
    EXPECT_FALSE(find<QWidget>(u("deleteSelectedButton"))->isVisible()) << "gone with the last selection";
    clickRow(0);
    click(u("batchToggleButton"));
    EXPECT_TRUE(page->selectedIDs().isEmpty());
    click(u("batchToggleButton"));
    EXPECT_TRUE(list().rowLayout(0).checkbox.has_value());
    EXPECT_TRUE(page->selectedIDs().isEmpty()) << "re-entering starts with nothing selected";
}

// Each change the page makes re-indexes only what it touched: the rows a search shows, and the counts, stay
// those of the whole lexicon as it now is, also after a change made elsewhere in between.
TEST_F(DictionaryPageTest, SearchAndCountsFollowEachAdditionEditAndRemoval)
{
    open({entry("Alpha Term"), entry("张伟", LexiconCategory::person), entry("Beta Term")});
    find<QLineEdit>(u("searchField"))->setText(u("term"));
    const auto add = [&](const char* term) {
        find<QLineEdit>(u("newTermField"))->setText(u(term));
        click(u("addTermButton"));
        turn();
    };
    add("Gamma Term");
    add("Delta");
    EXPECT_EQ(shownTerms(), (QStringList{u("Gamma Term"), u("Alpha Term"), u("Beta Term")}));
    EXPECT_EQ(find<QBPill>(u("filterPill-all"))->text(), u("全部 (5)"));

    clickRow(rowOf("Alpha Term"), Part::edit);
    page->inlineEditor()->termField()->setText(u("Alpha"));
    QTest::keyClick(page->inlineEditor()->termField(), Qt::Key_Return);
    turn();
    EXPECT_EQ(shownTerms(), (QStringList{u("Gamma Term"), u("Alpha"), u("Beta Term")}))
        << "the old term, now an alias, still matches";
    clickRow(rowOf("Beta Term"), Part::remove);
    turn();
    EXPECT_EQ(shownTerms(), (QStringList{u("Gamma Term"), u("Alpha")}));

    // Learned while the page waits for its refresh, then an addition on the page.
    ASSERT_TRUE(store().upsert(u("Epsilon Term"), {}, LexiconCategory::memo, 5));
    add("Zeta Term");
    EXPECT_EQ(shownTerms(), (QStringList{u("Zeta Term"), u("Epsilon Term"), u("Gamma Term"), u("Alpha")}));
    EXPECT_EQ(find<QBPill>(u("filterPill-memo"))->text(), u("纪要/备忘 (1)"));
    find<QLineEdit>(u("searchField"))->clear();
    EXPECT_EQ(shownTerms(), (QStringList{u("Zeta Term"), u("Epsilon Term"), u("Delta"), u("Gamma Term"),
                                         u("Alpha"), u("张伟")}));
    EXPECT_EQ(find<QBPill>(u("filterPill-all"))->text(), u("全部 (6)"));
}

TEST_F(DictionaryPageTest, AddFormAndLineImportUseTheChosenCategory)
{
    open({entry("DeepSeek")});
    find<QComboBox>(u("newCategoryPicker"))->setCurrentIndex(2);
    find<QLineEdit>(u("newTermField"))->setText(u(" 星河计划 "));
    find<QLineEdit>(u("newAliasesField"))->setText(u("星合，心河"));
    click(u("addTermButton"));
    turn();
    ASSERT_NE(stored("星河计划"), nullptr);
    EXPECT_EQ(stored("星河计划")->aliases, (QStringList{u("星合"), u("心河")}));
    EXPECT_EQ(stored("星河计划")->category, LexiconCategory::finance);
    EXPECT_EQ(stored("星河计划")->weight, 8);
    EXPECT_EQ(list().entryAt(0).term, u("星河计划")) << "new single entries come first";
    EXPECT_EQ(find<QLineEdit>(u("newTermField"))->text(), QString());
    EXPECT_EQ(state().statusBanner(), QString()) << "adding shows no banner";

    find<QLineEdit>(u("newTermField"))->setText(u("我"));
    click(u("addTermButton"));
    EXPECT_EQ(store().entries().size(), 2) << "a one-character term is the store's to refuse";
    EXPECT_EQ(find<QLineEdit>(u("newTermField"))->text(), QString());

    auto* lineImport = find<QBButton>(u("lineImportButton"));
    EXPECT_FALSE(lineImport->isEnabled());
    EXPECT_FALSE(find<QBButton>(u("distillButton"))->isEnabled());
    find<QPlainTextEdit>(u("corpusInput"))->setPlainText(u("季度复盘会\n我\n张伟，李娜"));
    EXPECT_TRUE(lineImport->isEnabled());
    click(u("lineImportButton"));
    turn();
    EXPECT_EQ(state().statusBanner(), u("直接批量导入 3 个词条"));
    EXPECT_EQ(stored("张伟")->category, LexiconCategory::finance);
    EXPECT_EQ(stored("季度复盘会")->category, LexiconCategory::finance);
    EXPECT_EQ(find<QPlainTextEdit>(u("corpusInput"))->toPlainText(), QString());
    EXPECT_FALSE(lineImport->isEnabled());
}

TEST_F(DictionaryPageTest, FolderImportReportsCountCancelOrFailure)
{
    open({entry("DeepSeek")});
    QTemporaryDir notes;
    QFile note(QDir(notes.path()).filePath(u("a.md")));
    ASSERT_TRUE(note.open(QIODevice::WriteOnly));
    note.write("**星河计划** and **星河计划**, `qb-core` `qb-core`\n");
    note.close();

    auto picker = std::make_unique<ScriptedFolderPicker>(std::nullopt);
    ScriptedFolderPicker* cancelled = picker.get();
    page->setFolderPicker(std::move(picker));
    click(u("folderImportButton"));
    turn();
    EXPECT_EQ(cancelled->asked, 1);
    EXPECT_EQ(state().statusBanner(), QString()) << "a cancel is silent";

    page->setFolderPicker(std::make_unique<ScriptedFolderPicker>(notes.path()));
    auto* button = find<QBButton>(u("folderImportButton"));
    // The mining may end before the click returns, so only the end state is certain here; the busy title is
    // checked on the distillation, which always waits on the network.
    click(u("folderImportButton"));
    ASSERT_TRUE(settle([&] { return !state().statusBanner().isEmpty(); }));
    EXPECT_EQ(state().statusBanner(), u("扫描文件夹完成：新增 2 个高频词条"));
    ASSERT_NE(stored("星河计划"), nullptr);
    EXPECT_EQ(stored("星河计划")->category, LexiconCategory::memo);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(button->text(), u("扫描本地纪要目录"));

    page->setFolderPicker(std::make_unique<ScriptedFolderPicker>(notes.filePath(u("missing"))));
    click(u("folderImportButton"));
    ASSERT_TRUE(settle([&] { return state().statusBanner().startsWith(u("扫描文件夹失败：")); }))
        << state().statusBanner().toStdString();
    EXPECT_TRUE(button->isEnabled());
}

TEST_F(DictionaryPageTest, BrowserImportWithoutAHistoryReportsTheFailure)
{
    open({entry("DeepSeek")});
    QTemporaryDir home;
    page->setImportLocations({home.path(), home.path()});
    auto* button = find<QBButton>(u("browserImportButton"));
    click(u("browserImportButton"));
    ASSERT_TRUE(settle([&] { return !state().statusBanner().isEmpty(); }));
    EXPECT_TRUE(state().statusBanner().startsWith(u("提取浏览高频词失败：")))
        << state().statusBanner().toStdString();
    EXPECT_EQ(button->text(), u("提取浏览高频词"));
    EXPECT_EQ(store().entries().size(), 1);
}

TEST_F(DictionaryPageTest, DistillationShowsItRunsAndItsResultReachesTheBanner)
{
    open({entry("星河项目")});
    ASSERT_TRUE(fixture.harness
                    .await(fixture.harness.keychain.saveAPIKey(u("sk-stored"), LLMProviderOption::deepseek))
                    .ok);
    fixture.harness.server.setHandler([](const ScriptedHttpServer::Request& request) {
        if (!request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        const QJsonObject message{{u("content"), u("张伟|章维,张威|person\n星河项目|星合|project\n")}};
        const QJsonObject answer{{u("choices"), QJsonArray{QJsonObject{{u("message"), message}}}}};
        return ScriptedHttpServer::Reply::json(200, QJsonDocument(answer).toJson());
    });
    auto* corpus = find<QPlainTextEdit>(u("corpusInput"));
    auto* distill = find<QBButton>(u("distillButton"));
    corpus->setPlainText(u("星河项目周会纪要：张伟负责"));
    click(u("distillButton"));
    EXPECT_TRUE(page->isDistilling());
    EXPECT_EQ(distill->text(), u("智能提纯中…"));
    EXPECT_FALSE(distill->isEnabled()) << "one distillation at a time";
    ASSERT_TRUE(settle([&] { return !page->isDistilling(); }));
    turn();
    EXPECT_EQ(state().statusBanner(), u("智能蒸馏完成：新增 1 个专属词条（总词库 2 词）"));
    EXPECT_EQ(shownTerms().size(), 2);
    EXPECT_EQ(corpus->toPlainText(), QString());
    EXPECT_EQ(distill->text(), u("AI 自动提纯专有词"));
    EXPECT_FALSE(distill->isEnabled()) << "nothing left to distil";

    fixture.harness.server.setHandler([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Reply::json(500, R"({"error":{"message":"overloaded"}})");
    });
    corpus->setPlainText(u("再来一段"));
    click(u("distillButton"));
    ASSERT_TRUE(settle([&] { return !page->isDistilling(); }));
    EXPECT_TRUE(state().statusBanner().startsWith(u("蒸馏失败："))) << state().statusBanner().toStdString();
    EXPECT_EQ(corpus->toPlainText(), QString()) << "the corpus is cleared after a failure too";
}

TEST_F(DictionaryPageTest, SuccessLinesReachTheBannerWhenThePageIsGoneBeforeTheSaveLands)
{
    open({entry("甲甲"), entry("乙乙"), entry("丙丙")});
    // The page is dropped (another tab) while the save runs; the line comes once the save has landed.
    const auto leaveThenLand = [&] {
        EXPECT_EQ(state().statusBanner(), QString()) << "no line before the save has landed";
        state().setSelectedTab(SidebarTab::home);
        view->refreshNow();
        page = nullptr;
        fixture.harness.settleSaves();
        turn();
    };
    const auto comeBack = [&] {
        state().setStatusBanner(QString());
        state().setSelectedTab(SidebarTab::dictionary);
        view->refreshNow();
        page = qobject_cast<PersonalDictionarySection*>(view->page());
        ASSERT_NE(page, nullptr);
    };

    clickRow(rowOf("甲甲"), Part::edit);
    page->inlineEditor()->termField()->setText(u("甲丁"));
    QTest::mouseClick(page->inlineEditor()->findChild<QWidget*>(u("editSave")), Qt::LeftButton);
    leaveThenLand();
    EXPECT_EQ(state().statusBanner(), u("✅ 已更新词条「甲丁」并同步纠偏映射"));

    comeBack();
    click(u("batchToggleButton"));
    clickRow(rowOf("乙乙"));
    QTest::mouseClick(find<QWidget>(u("deleteSelectedButton")), Qt::LeftButton);
    leaveThenLand();
    EXPECT_EQ(state().statusBanner(), u("🗑️ 已批量清理 1 个词条"));

    comeBack();
    find<QPlainTextEdit>(u("corpusInput"))->setPlainText(u("星河计划\n张伟"));
    QTest::mouseClick(find<QWidget>(u("lineImportButton")), Qt::LeftButton);
    leaveThenLand();
    EXPECT_EQ(state().statusBanner(), u("直接批量导入 2 个词条"));
}

TEST_F(DictionaryPageTest, AFailedSaveIsReportedNotShownAsSuccess)
{
    open({entry("甲甲"), entry("乙乙")});
    // A folder where the file was: every write of the lexicon now fails.
    const QString path = store().storagePath();
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkpath(QDir(path).filePath(u("keep"))));
    clickRow(rowOf("甲甲"));
    page->inlineEditor()->termField()->setText(u("甲乙"));
    click(u("editSave"));
    // The state names the file that failed; the page shows no success over it.
    const QString failure = state().statusBanner();
    EXPECT_TRUE(failure.contains(u("lexicon.json"))) << failure.toStdString();
    EXPECT_FALSE(failure.contains(u("已更新"))) << failure.toStdString();
    state().setStatusBanner(QString());
    clickRow(rowOf("乙乙"), Part::remove);
    EXPECT_TRUE(state().statusBanner().contains(u("lexicon.json")));
    turn();
    EXPECT_EQ(shownTerms(), (QStringList{u("甲乙")})) << "the change is kept in memory";
}

TEST_F(DictionaryPageTest, RefusedEditsAndAdditionsSayWhyAndKeepWhatWasTyped)
{
    // One entry whose aliases leave the file less than an entry's worth of room.
    LexiconEntry large = entry("大词库", LexiconCategory::memo);
    const qint64 alias = 1 << 20;
    while (LexiconFile::encodedSizeBound(large) + alias < LexiconFile::kMaxFileBytes - alias)
        large.aliases.append(QString(alias, u'a'));
    large.aliases.append(
        QString(LexiconFile::kMaxFileBytes - LexiconFile::encodedSizeBound(large) - 3 * 1024, u'a'));
    open({entry("张伟", LexiconCategory::person), large});
    const qsizetype spare = LexiconFile::kMaxFileBytes - LexiconFile::kArrayBytes -
                            LexiconFile::encodedSizeBound(store().entries()[0]) -
                            LexiconFile::encodedSizeBound(store().entries()[1]);
    ASSERT_GT(spare, 500);
    ASSERT_LT(spare, 3 * 1024);

    // A term over 64 characters.
    const QString tooLong(65, u'长');
    clickRow(rowOf("张伟"));
    DictionaryInlineEditor* editor = page->inlineEditor();
    ASSERT_NE(editor, nullptr);
    editor->termField()->setText(tooLong);
    editor->aliasField()->setText(u("章维"));
    click(u("editSave"));
    turn();
    EXPECT_TRUE(state().statusBanner().startsWith(u("❌"))) << state().statusBanner().toStdString();
    EXPECT_TRUE(state().statusBanner().contains(u("超过 64 字"))) << state().statusBanner().toStdString();
    EXPECT_EQ(page->inlineEditor(), editor) << "the editor stays open";
    EXPECT_EQ(editor->term(), tooLong) << "with what was typed";
    EXPECT_EQ(editor->aliases(), u("章维"));
    ASSERT_NE(stored("张伟"), nullptr);

    // Aliases the file has no room for.
    editor->termField()->setText(u("张伟"));
    editor->aliasField()->setText(QString(spare + 10, u'b'));
    click(u("editSave"));
    turn();
    EXPECT_TRUE(state().statusBanner().contains(u("上限"))) << state().statusBanner().toStdString();
    EXPECT_FALSE(state().statusBanner().contains(u("已更新")));
    EXPECT_EQ(page->inlineEditor(), editor);
    EXPECT_TRUE(stored("张伟")->aliases.isEmpty());

    // The add form keeps both fields when the file has no room for the term.
    QTest::mouseClick(editor->findChild<QWidget*>(u("editCancel")), Qt::LeftButton);
    state().setStatusBanner(QString());
    find<QLineEdit>(u("newTermField"))->setText(u("星河计划"));
    find<QLineEdit>(u("newAliasesField"))->setText(QString(spare, u'c'));
    click(u("addTermButton"));
    turn();
    EXPECT_TRUE(state().statusBanner().startsWith(u("❌ 词库文件已接近")))
        << state().statusBanner().toStdString();
    EXPECT_EQ(find<QLineEdit>(u("newTermField"))->text(), u("星河计划"));
    EXPECT_EQ(find<QLineEdit>(u("newAliasesField"))->text(), QString(spare, u'c'));
    EXPECT_EQ(stored("星河计划"), nullptr);
    find<QLineEdit>(u("newAliasesField"))->setText(u("星合"));
    click(u("addTermButton"));
    EXPECT_NE(stored("星河计划"), nullptr) << "a shorter try fits";
    EXPECT_EQ(find<QLineEdit>(u("newTermField"))->text(), QString());
}

TEST_F(DictionaryPageTest, ALargeLexiconBuildsOnlyWhatIsInView)
{
    AppState& s = fixture.start(0, 5000);
    s.setSelectedTab(SidebarTab::dictionary);
    view = std::make_unique<MainDashboardView>(s);
    view->resize(1200, 800);
    view->show();
    turn();
    auto* section = qobject_cast<PersonalDictionarySection*>(view->page());
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(section->entryList()->rowCount(), 5000);
    EXPECT_LT(section->findChildren<QWidget*>().size(), 100) << "rows are painted, not built as widgets";
    section->findChild<QLineEdit*>(u("searchField"))->setText(u("术语4999"));
    EXPECT_EQ(section->entryList()->rowCount(), 1);
}

} // namespace

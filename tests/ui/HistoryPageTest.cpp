#include "lexicon/PersonalLexiconStore.h"
#include "ui/dashboard/MainDashboardView.h"
#include "ui/pages/history/HistoryFormat.h"
#include "ui/pages/history/HistoryListSection.h"
#include "ui/pages/history/HistoryRecordCard.h"
#include "ui/pages/history/HistoryRecordList.h"
#include "ui/pages/history/HistoryTextBlock.h"
#include "ui/support/DashboardFixture.h"
#include "ui/widgets/QBButton.h"
#include "ui/widgets/QBEditorialHeader.h"
#include "ui/widgets/QBPill.h"
#include "ui/widgets/QBTextLabel.h"

#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

DictationRecord record(const QString& polished, const QString& raw,
                       const QString& app = QStringLiteral("Editor"),
                       DictationMode mode = DictationMode::dictate, qint64 latencyMs = 820,
                       double seconds = 3.44)
{
    return DictationRecord(QUuid::createUuid(), Timestamp{7.5e8}, raw, polished, seconds, latencyMs, app,
                           mode, {});
}

TEST(HistoryFormatTest, Texts)
{
    EXPECT_EQ(HistoryFormat::timings(820, 3.44), QStringLiteral("首包 820ms · 录音 3.4s"));
    EXPECT_EQ(HistoryFormat::timings(0, 0.2), QStringLiteral("首包 0ms · 录音 0.2s"));
    EXPECT_EQ(HistoryFormat::archiveBadge(0), QStringLiteral("UTTERANCE ARCHIVE · 0 RECORDS"));
    EXPECT_EQ(HistoryFormat::modeBadge(DictationMode::rewriteSelection), QStringLiteral("选中改写"));
    EXPECT_EQ(HistoryFormat::modeBadge(DictationMode::dictate), QStringLiteral("口述成稿"));
    EXPECT_EQ(HistoryFormat::targetApp(QString()), QStringLiteral("外部应用"));
    EXPECT_EQ(HistoryFormat::targetApp(QStringLiteral(" ")), QStringLiteral(" "));
    EXPECT_TRUE(HistoryFormat::isBlankTerm(QStringLiteral(" \t\u3000")));
    EXPECT_FALSE(HistoryFormat::isBlankTerm(QStringLiteral(" a ")));
    EXPECT_FALSE(HistoryFormat::isBlankTerm(QStringLiteral("\n"))) << "a line break is not a blank here";
}

TEST(HistoryTextBlockTest, HeightGrowsByLinesWithTheirSpacing)
{
    const QFont font = QFont();
    const qreal one = HistoryTextBlock::heightFor(QStringLiteral("a"), font, 4, 300);
    const qreal two = HistoryTextBlock::heightFor(QStringLiteral("a\nb"), font, 4, 300);
    EXPECT_GT(one, 0);
    EXPECT_NEAR(two, 2 * one + 4, 1.0);
    EXPECT_GT(HistoryTextBlock::heightFor(QString(200, u'字'), font, 4, 300), 3 * one) << "long text wraps";
}

class HistoryPageTest : public ::testing::Test {
protected:
    HistoryListSection& open(QList<DictationRecord> records)
    {
        AppState& state = fixture.start(0, 0);
        state.setHistory(std::move(records));
        page = std::make_unique<HistoryListSection>(state);
        page->resize(900, 800);
        page->show();
        QCoreApplication::processEvents();
        return *page;
    }
    AppState& state() { return *fixture.harness.state; }
    template <typename T> T* find(const QString& name, QWidget* in = nullptr)
    {
        T* found = (in ? in : page.get())->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    HistoryRecordCard* card(const DictationRecord& r) { return page->list()->cardFor(r.id); }
    QString copyText(const DictationRecord& r) { return card(r)->copyButton()->text(); }
    void quickFix(const QString& term, const QString& alias)
    {
        find<QLineEdit>(QStringLiteral("quickFixTerm"))->setText(term);
        find<QLineEdit>(QStringLiteral("quickFixAlias"))->setText(alias);
        QTest::mouseClick(find<QBButton>(QStringLiteral("quickFixButton")), Qt::LeftButton);
    }
    std::optional<LexiconEntry> entry(const QString& term)
    {
        for (const LexiconEntry& e : state().lexiconStore().entries())
            if (e.term == term)
                return e;
        return std::nullopt;
    }

    DashboardFixture fixture;
    std::unique_ptr<HistoryListSection> page;
};

TEST_F(HistoryPageTest, EmptyHistoryNamesTheTrigger)
{
    open({});
    EXPECT_EQ(find<QBEditorialHeader>(QStringLiteral("historyHeader"))->badge(),
              QStringLiteral("UTTERANCE ARCHIVE · 0 RECORDS"));
    EXPECT_TRUE(find<QWidget>(QStringLiteral("historyEmptyCard"))->isVisible());
    EXPECT_FALSE(page->list()->isVisible());
    state().setTriggerKey(TriggerKeyOption::fnKey);
    page->refresh();
    EXPECT_EQ(
        find<QLabel>(QStringLiteral("historyEmptyLine"))->text(),
        QStringLiteral("点按 Fn (地球键) 口述任意内容后，此处将自动记录原声粗稿、排版成品与首包耗时。"));

    state().setHistory({record(QStringLiteral("第一条"), QStringLiteral("第一条"))});
    page->refresh();
    EXPECT_FALSE(find<QWidget>(QStringLiteral("historyEmptyCard"))->isVisible());
    EXPECT_EQ(page->list()->builtCards().size(), 1);
    EXPECT_EQ(find<QBEditorialHeader>(QStringLiteral("historyHeader"))->badge(),
              QStringLiteral("UTTERANCE ARCHIVE · 1 RECORDS"));
}

TEST_F(HistoryPageTest, CardShowsTheRecordAndTheRawTextOnlyWhereItDiffers)
{
    const DictationRecord same = record(QStringLiteral("原样的句子。"), QStringLiteral("原样的句子。"),
                                        QString(), DictationMode::rewriteSelection);
    const DictationRecord changed =
        record(QStringLiteral("我们今天做三件事。"), QStringLiteral("我们今天做三件事"),
               QStringLiteral("飞书"), DictationMode::dictate, 120, 1.96);
    open({same, changed});
    HistoryRecordCard* a = card(same);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(find<QBPill>(QStringLiteral("modeBadge"), a)->text(), QStringLiteral("选中改写"));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("targetApp"), a)->text(), QStringLiteral("外部应用"));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("timings"), a)->text(),
              QStringLiteral("首包 820ms · 录音 3.4s"));
    EXPECT_EQ(a->polishedText()->text(), QStringLiteral("原样的句子。"));
    EXPECT_FALSE(a->rawBlock()->isVisible());

    HistoryRecordCard* b = card(changed);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(find<QBPill>(QStringLiteral("modeBadge"), b)->text(), QStringLiteral("口述成稿"));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("targetApp"), b)->text(), QStringLiteral("飞书"));
    EXPECT_EQ(find<QBTextLabel>(QStringLiteral("timings"), b)->text(),
              QStringLiteral("首包 120ms · 录音 2.0s"));
    EXPECT_TRUE(b->rawBlock()->isVisible());
    EXPECT_EQ(b->rawText()->text(), QStringLiteral("我们今天做三件事"));
    EXPECT_GT(b->y(), a->y()) << "newest first, as the history keeps them";
    EXPECT_EQ(b->height(), HistoryRecordCard::heightFor(changed, b->width()));
}

TEST_F(HistoryPageTest, CopyShowsItsMarkerForItsOwnTime)
{
    const DictationRecord a = record(QStringLiteral("甲"), QStringLiteral("甲"));
    const DictationRecord b = record(QStringLiteral("乙"), QStringLiteral("乙"));
    const DictationRecord empty = record(QString(), QStringLiteral("丙"));
    open({a, b, empty});
    VirtualScheduler& clock = fixture.harness.scheduler;

    QTest::mouseClick(card(a)->copyButton(), Qt::LeftButton);
    EXPECT_EQ(fixture.harness.clipboard.textsSet().last(), QStringLiteral("甲"));
    EXPECT_EQ(copyText(a), QStringLiteral("已复制"));
    EXPECT_EQ(card(a)->copyButton()->leadingIcon(), QBIcon::check);
    clock.advance(1s);
    QTest::mouseClick(card(b)->copyButton(), Qt::LeftButton);
    EXPECT_EQ(copyText(a), QStringLiteral("复制"));
    EXPECT_EQ(copyText(b), QStringLiteral("已复制"));
    clock.advance(600ms); // a's time is over, b's is not
    EXPECT_EQ(copyText(b), QStringLiteral("已复制"));
    clock.advance(799ms);
    EXPECT_EQ(copyText(b), QStringLiteral("已复制"));
    clock.advance(1ms);
    EXPECT_EQ(copyText(b), QStringLiteral("复制"));
    EXPECT_EQ(page->copiedRecordID(), std::nullopt);

    // An empty text copies nothing, so it claims nothing.
    const int copies = int(fixture.harness.clipboard.textsSet().size());
    QTest::mouseClick(card(empty)->copyButton(), Qt::LeftButton);
    EXPECT_EQ(fixture.harness.clipboard.textsSet().size(), copies);
    EXPECT_EQ(copyText(empty), QStringLiteral("复制"));
}

TEST_F(HistoryPageTest, LeavingThePageWhileAMarkerShowsIsSafe)
{
    AppState& appState = fixture.start(3, 0);
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    appState.setSelectedTab(SidebarTab::history);
    view.refreshNow();
    QCoreApplication::processEvents(); // the page shows in the next turn
    auto* section = qobject_cast<HistoryListSection*>(view.page());
    ASSERT_NE(section, nullptr);
    VirtualScheduler& clock = fixture.harness.scheduler;
    const std::size_t pendingBefore = clock.pendingCount();
    ASSERT_FALSE(section->list()->builtCards().isEmpty());
    QTest::mouseClick(section->list()->builtCards().first()->copyButton(), Qt::LeftButton);
    EXPECT_EQ(clock.pendingCount(), pendingBefore + 1);
    clock.advance(700ms);
    appState.setSelectedTab(SidebarTab::home);
    view.refreshNow();
    EXPECT_EQ(clock.pendingCount(), pendingBefore) << "the marker's timer went with the page";
    clock.advance(1s);
    appState.setSelectedTab(SidebarTab::history);
    view.refreshNow();
    QCoreApplication::processEvents();
    section = qobject_cast<HistoryListSection*>(view.page());
    ASSERT_NE(section, nullptr);
    ASSERT_FALSE(section->list()->builtCards().isEmpty());
    EXPECT_EQ(section->list()->builtCards().first()->copyButton()->text(), QStringLiteral("复制"));
}

TEST_F(HistoryPageTest, QuickFixWritesTheLexicon)
{
    open({});
    quickFix(QStringLiteral("DeepSeek"), QStringLiteral("迪普西克"));
    std::optional<LexiconEntry> added = entry(QStringLiteral("DeepSeek"));
    ASSERT_TRUE(added);
    EXPECT_EQ(added->aliases, QStringList{QStringLiteral("迪普西克")});
    EXPECT_EQ(added->category, LexiconCategory::project);
    EXPECT_EQ(added->weight, 9);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✅ 已将「DeepSeek」加入核心纠偏词库"));
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("quickFixTerm"))->text(), QString());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("quickFixAlias"))->text(), QString());

    // The banner names the term as typed; the store keeps it trimmed, without aliases when none was typed.
    quickFix(QStringLiteral(" Kubernetes "), QString());
    ASSERT_TRUE(entry(QStringLiteral("Kubernetes")));
    EXPECT_TRUE(entry(QStringLiteral("Kubernetes"))->aliases.isEmpty());
    EXPECT_EQ(state().statusBanner(), QStringLiteral("✅ 已将「 Kubernetes 」加入核心纠偏词库"));
}

TEST_F(HistoryPageTest, QuickFixThatStoresNothingSaysNoSuccess)
{
    open({});
    state().setStatusBanner(QString());
    const qsizetype before = state().lexiconStore().entries().size();
    quickFix(QStringLiteral("  \t "), QStringLiteral("别名"));
    EXPECT_EQ(state().lexiconStore().entries().size(), before);
    EXPECT_EQ(state().statusBanner(), QString());
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("quickFixAlias"))->text(), QStringLiteral("别名"))
        << "fields keep their text";

    // The store refuses a one-character term: the banner says so and the fields stay for a correction.
    quickFix(QStringLiteral(" A "), QStringLiteral("诶"));
    EXPECT_EQ(state().lexiconStore().entries().size(), before);
    EXPECT_EQ(state().statusBanner(), QStringLiteral("❌ 「 A 」未加入词库：词条至少需要 2 个字"));
    EXPECT_EQ(find<QLineEdit>(QStringLiteral("quickFixTerm"))->text(), QStringLiteral(" A "));
}

TEST_F(HistoryPageTest, AThousandRecordsBuildOnlyWhatIsInView)
{
    AppState& appState = fixture.start(0, 0);
    appState.setHistory(DashboardFixture::archive(1000, 240, fixture.harness.scheduler.currentDate()));
    MainDashboardView view(appState);
    view.resize(960, 650);
    view.show();
    appState.setSelectedTab(SidebarTab::history);
    view.refreshNow();
    QCoreApplication::processEvents();
    auto* section = qobject_cast<HistoryListSection*>(view.page());
    ASSERT_NE(section, nullptr);
    HistoryRecordList* list = section->list();
    const QList<DictationRecord>& records = appState.history();
    EXPECT_LT(list->builtCards().size(), 20);
    EXPECT_EQ(list->builtCards().first()->recordId(), records.first().id);

    // The rest is measured a batch per turn; then the list is exactly as tall as its records.
    ASSERT_TRUE(fixture.harness.settle([&] { return list->isFullyMeasured(); }));
    QCoreApplication::processEvents();
    int total = 0;
    for (const DictationRecord& r : records)
        total += HistoryRecordCard::heightFor(r, list->width()) + HistoryRecordList::kSpacing;
    EXPECT_EQ(list->height(), total - HistoryRecordList::kSpacing);

    // Scrolled to the end: the last records are built, still only a handful of cards.
    QScrollBar* bar = view.findChild<QScrollArea*>(QStringLiteral("pageArea"))->verticalScrollBar();
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    const QList<HistoryRecordCard*> cards = list->builtCards();
    EXPECT_LT(cards.size(), 20);
    EXPECT_EQ(cards.last()->recordId(), records.last().id);
    EXPECT_EQ(cards.last()->geometry().bottom(), list->height() - 1);

    // A phase change rebuilds nothing; a new record arrives at the top.
    HistoryRecordCard* last = cards.last();
    appState.setPhase(PipelinePhase::listening(QStringLiteral("第"), DictationMode::dictate));
    view.refreshNow();
    EXPECT_EQ(list->cardFor(records.last().id), last);
    QList<DictationRecord> grown = records;
    grown.prepend(record(QStringLiteral("最新"), QStringLiteral("最新")));
    appState.setHistory(grown);
    view.refreshNow();
    bar->setValue(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(list->builtCards().first()->recordId(), grown.first().id);
    EXPECT_EQ(section->findChild<QBEditorialHeader*>()->badge(),
              QStringLiteral("UTTERANCE ARCHIVE · 1001 RECORDS"));
}

} // namespace

// Term import: mining runs on the import queue, away from the views; only the final merge touches the list,
// on the thread that started the import.
#include "lexicon/PersonalLexiconStore.h"

#include <QCoroFuture>
#include <QPointer>
#include <QPromise>

QCoro::Task<TermImportResult>
PersonalLexiconStore::importFromLocalBrowserHistory(int maxEntries, TermImportLocations locations)
{
    return mergeMinedTerms(
        [locations = std::move(locations), maxEntries] {
            return TermImporter::mineLocalBrowserHistory(locations, maxEntries);
        },
        LexiconCategory::browser);
}

QCoro::Task<TermImportResult> PersonalLexiconStore::importFromMarkdownFolder(QString folder, int maxEntries)
{
    return mergeMinedTerms([folder = std::move(folder),
                            maxEntries] { return TermImporter::mineMarkdownFolder(folder, maxEntries); },
                           LexiconCategory::memo);
}

QCoro::Task<TermImportResult> PersonalLexiconStore::mergeMinedTerms(std::function<MinedTerms()> mine,
                                                                    LexiconCategory category)
{
    auto promise = std::make_shared<QPromise<MinedTerms>>();
    QFuture<MinedTerms> future = promise->future();
    promise->start();
    backgroundQueue().async([promise, mine = std::move(mine)] {
        promise->addResult(mine());
        promise->finish();
    });

    const QPointer<PersonalLexiconStore> self(this);
    const MinedTerms mined = co_await future;
    if (!self)
        co_return TermImportResult{0, Status::failure(QStringLiteral("导入期间词库已关闭"))};
    if (!mined.status)
        co_return TermImportResult{0, mined.status};

    QList<BulkItem> items;
    items.reserve(mined.terms.size());
    for (const QString& term : mined.terms)
        items.append(BulkItem{term, {}, category});
    co_return TermImportResult{self->bulkUpsert(items), Status::success()};
}

// The model's answer to term distillation: "term | aliases | category" lines in whatever shape it comes.
#include "fuzz/FuzzTarget.h"

#include "llm/PolishEngine.h"
#include "util/Text.h"

QB_FUZZ_TARGET(distilled_terms)
{
    const QList<PolishEngine::DistilledTerm> terms =
        PolishEngine::parseDistilledTerms(QString::fromUtf8(input));
    for (const PolishEngine::DistilledTerm& term : terms) {
        FUZZ_CHECK(Text::graphemeCount(term.term) >= 2);
        FUZZ_CHECK(!term.term.contains(u'\n'));
        for (const QString& alias : term.aliases)
            FUZZ_CHECK(!alias.isEmpty());
    }
}

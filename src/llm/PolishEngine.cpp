// polish and its routes: the local fast path, the prompt blocks and the model pass with its fallback.
#include "llm/PolishEngine.h"

#include "lexicon/PhoneticIndexer.h"
#include "llm/IcuRegex.h"
#include "llm/LLMErrors.h"
#include "llm/PolishPrompts.h"
#include "util/Text.h"

#include <QNetworkProxy>
#include <QPointer>
#include <array>

namespace {

// Fillers, self-corrections and enumerations: a phrase holding any of them needs the model.
constexpr std::array<QStringView, 29> kFastPathBlockingCues = {
    u"嗯",   u"啊",   u"呃",     u"额",     u"那个",     u"就是", u"然后呢", u"怎么说", u"不对",  u"不是",
    u"重说", u"算了", u"改成",   u"改为",   u"其实",     u"更正", u"我是说", u"第一",   u"第二",  u"第三",
    u"首先", u"其次", u"两件事", u"三件事", u"几个问题", u"两点", u"三点",   u"百分之", u"一二三"};

constexpr int kMinHiddenTermSkeleton = 4;
constexpr int kBypassLimitPunctuatedCloud = 28;
constexpr int kBypassLimitStructured = 6;
constexpr int kBypassLimitHighAccuracyLocal = 20;
constexpr int kBypassLimitOther = 5;

constexpr int kMaxAliasesInPrompt = 4;
constexpr int kPrecedingTextChars = 120;
constexpr int kRecentOutputsUsed = 2;
constexpr int kRecentContextChars = 110;
constexpr int kMinTokenBudget = 180;

QString lexiconBlock(const QList<LexiconEntry>& terms)
{
    if (terms.isEmpty())
        return QStringLiteral("无");
    QStringList items;
    items.reserve(terms.size());
    for (const LexiconEntry& entry : terms) {
        if (entry.aliases.isEmpty())
            items.append(entry.term);
        else
            items.append(entry.term + QStringLiteral("(误听:") +
                         entry.aliases.first(std::min<qsizetype>(entry.aliases.size(), kMaxAliasesInPrompt))
                             .join(u'/') +
                         u')');
    }
    return items.join(QStringLiteral("；"));
}

QString precedingTextBlock(const QString& precedingText)
{
    const QString trimmed = Text::trimmed(precedingText);
    if (trimmed.isEmpty())
        return QStringLiteral("无");
    return Text::graphemeSuffix(trimmed, kPrecedingTextChars);
}

QString recentContextBlock(const QStringList& recentOutputs)
{
    QStringList kept;
    for (const QString& output : recentOutputs) {
        QString flattened = output;
        flattened.replace(u'\n', u' ');
        flattened = Text::trimmed(flattened);
        if (!flattened.isEmpty())
            kept.append(flattened);
    }
    if (kept.isEmpty())
        return QStringLiteral("无");
    const QString joined =
        kept.sliced(std::max<qsizetype>(0, kept.size() - kRecentOutputsUsed)).join(QStringLiteral(" ｜ "));
    return Text::graphemeSuffix(joined, kRecentContextChars);
}

QString sceneLabel(const ActiveScreenContext& context)
{
    return context.toneProfile().rawValue();
}

} // namespace

PolishEngine::PolishEngine(Scheduler& scheduler, QObject* parent) : QObject(parent), m_scheduler(scheduler)
{
    m_directSession.setProxy(QNetworkProxy::NoProxy);
}

PolishEngine::~PolishEngine() = default;

qint64 PolishEngine::elapsedMs(MonotonicTime since) const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_scheduler.now() - since).count();
}

bool PolishEngine::canBypassCloudPolish(const QString& locallyFixed, const QList<LexiconEntry>& recalledTerms,
                                        FormattingStyle formattingStyle, bool isHighAccuracyLocalASR,
                                        bool isPunctuatedCloudASR)
{
    const QString t = Text::trimmed(locallyFixed);
    if (t.isEmpty())
        return true;

    // A stutter: a run of two to four characters said twice in a row.
    static const IcuRegex stutter(uR"((.{2,4})\1)");
    if (stutter.containsMatch(t))
        return false;

    for (QStringView cue : kFastPathBlockingCues) {
        if (t.contains(cue))
            return false;
    }

    // A recalled term that sounds present but is not written: the recogniser heard a homophone.
    const QString skeleton = PhoneticIndexer::fuzzySkeleton(t);
    for (const LexiconEntry& entry : recalledTerms) {
        const QString termSkeleton = PhoneticIndexer::fuzzySkeleton(entry.term);
        if (Text::graphemeCount(termSkeleton) >= kMinHiddenTermSkeleton && skeleton.contains(termSkeleton) &&
            !t.contains(entry.term, Qt::CaseInsensitive))
            return false;
    }

    int limit = kBypassLimitOther;
    if (isPunctuatedCloudASR)
        limit = kBypassLimitPunctuatedCloud;
    else if (formattingStyle == FormattingStyle::structured)
        limit = kBypassLimitStructured;
    else if (isHighAccuracyLocalASR)
        limit = kBypassLimitHighAccuracyLocal;
    return Text::graphemeCount(t) <= limit;
}

QString PolishEngine::localFallbackText(const QString& rawTranscript,
                                        const QList<LexiconEntry>& recalledTerms,
                                        const ActiveScreenContext& context, const LLMConfig& config)
{
    const QString fixed =
        applyInstantLocalDictionary(Text::trimmed(rawTranscript), recalledTerms, context, config,
                                    /*stripPeriod=*/false);
    return applyPostFormattingRules(fixed, context, config);
}

QCoro::Task<PolishEngine::PolishResult>
PolishEngine::polish(QString rawTranscript, DictationMode mode, ActiveScreenContext screenContext,
                     QList<LexiconEntry> recalledTerms, QStringList recentOutputs, LLMConfig config,
                     QString apiKey, bool isHighAccuracyLocalASR, bool isPunctuatedCloudASR,
                     StreamChunkHandler onStreamChunk)
{
    const MonotonicTime start = m_scheduler.now();
    const QString trimmed = Text::trimmed(rawTranscript);
    if (trimmed.isEmpty())
        co_return PolishResult{QString(), 0, true, std::nullopt, std::nullopt};

    const QString locallyFixed =
        applyInstantLocalDictionary(trimmed, recalledTerms, screenContext, config, /*stripPeriod=*/false);
    auto local = [&] { return localFallbackText(trimmed, recalledTerms, screenContext, config); };

    const bool rewrite = mode == DictationMode::rewriteSelection;
    if (!rewrite) {
        if (config.formattingStyle == FormattingStyle::verbatimLocal)
            co_return PolishResult{local(), 0, true, std::nullopt, std::nullopt};
        if (apiKey.isEmpty() && !isKeylessLocalEndpoint(config.baseURL))
            co_return PolishResult{local(), 0, true, std::nullopt, std::nullopt};
        if (config.enableFastBypassForShortPhrases &&
            canBypassCloudPolish(locallyFixed, recalledTerms, config.formattingStyle, isHighAccuracyLocalASR,
                                 isPunctuatedCloudASR))
            co_return PolishResult{local(), elapsedMs(start), true, std::nullopt, std::nullopt};
    }

    const QString lexicon = lexiconBlock(recalledTerms);
    const QString recent = recentContextBlock(recentOutputs);
    QString userContent;
    QString systemPrompt;
    int budgetCharacters = Text::graphemeCount(locallyFixed);
    if (rewrite) {
        userContent = QStringLiteral("<recent_context>") + recent +
                      QStringLiteral("</recent_context>\n<lexicon>") + lexicon +
                      QStringLiteral("</lexicon>\n<selected_text>") + screenContext.selectedText +
                      QStringLiteral("</selected_text>\n<voice_instruction>") + locallyFixed +
                      QStringLiteral("</voice_instruction>");
        systemPrompt = PolishPrompts::selectionRewritePrompt();
        // The answer is the rewritten selection, so the budget must cover the selection too.
        budgetCharacters += Text::graphemeCount(screenContext.selectedText);
    } else {
        userContent = QStringLiteral("<scene>") + sceneLabel(screenContext) +
                      QStringLiteral("</scene>\n<recent_context>") + recent +
                      QStringLiteral("</recent_context>\n<preceding_text>") +
                      precedingTextBlock(screenContext.precedingText) +
                      QStringLiteral("</preceding_text>\n<lexicon>") + lexicon +
                      QStringLiteral("</lexicon>\n<raw_speech>") + locallyFixed +
                      QStringLiteral("</raw_speech>");
        systemPrompt = config.formattingStyle == FormattingStyle::lightPolish
                           ? PolishPrompts::lightPolishPrompt()
                           : PolishPrompts::structuredPolishPrompt();
    }
    const int maxTokens = std::max(2 * budgetCharacters, kMinTokenBudget);

    QPointer<PolishEngine> self(this);
    const Result<StreamedAnswer> answer =
        co_await callChatCompletionsSSE(config.baseURL, config.modelName, apiKey, systemPrompt, userContent,
                                        maxTokens, config, std::move(onStreamChunk));
    if (!self) {
        if (rewrite)
            co_return PolishResult{QString(), 0, true, LLMErrors::urlError(LLMErrors::cancelled),
                                   std::nullopt};
        co_return PolishResult{local(), 0, true, std::nullopt, std::nullopt};
    }

    if (!answer.ok()) {
        if (rewrite)
            co_return PolishResult{QString(), elapsedMs(start), true, answer.error(), std::nullopt};
        co_return PolishResult{local(), elapsedMs(start), true, std::nullopt, answer.error()};
    }
    const qint64 latencyMs = answer.value().ttftMs > 0 ? answer.value().ttftMs : elapsedMs(start);
    const QString polished = applyPostFormattingRules(answer.value().fullText, screenContext, config);
    if (polished.isEmpty()) {
        // Pasting the spoken instruction over the selection would destroy it: an empty rewrite is a failure.
        if (rewrite)
            co_return PolishResult{QString(), latencyMs, true, LLMErrors::emptyRewrite(), std::nullopt};
        // A stream that carried no text at all (a relay's error in a 200) did not polish anything.
        std::optional<AppError> failure;
        if (answer.value().fullText.isEmpty())
            failure = LLMErrors::noModelOutput(answer.value().whatCameBack);
        co_return PolishResult{locallyFixed, latencyMs, false, std::nullopt, std::move(failure)};
    }
    co_return PolishResult{polished, latencyMs, false, std::nullopt, std::nullopt};
}

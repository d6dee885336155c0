#include "system/LiveInputSession.h"

#include "system/ContextInjector.h"
#include "system/GraphemeDiff.h"
#include "util/AppIdentity.h"
#include "util/Text.h"

#include <algorithm>

namespace {

// Sentence punctuation, the ellipsis and the space: what a recogniser most often revises at the end.
constexpr std::u16string_view kUnstableTrailingPunctuation = u"。，、！？；：.,!?;:… ";

// The least time between two typing steps of the pacer, by backlog: slow when nearly caught up.
Duration minimumGap(int backlog)
{
    using std::chrono::milliseconds;
    if (backlog == 1)
        return milliseconds(18);
    if (backlog == 2)
        return milliseconds(14);
    if (backlog <= 5)
        return milliseconds(11);
    return milliseconds(8);
}

constexpr int kLargeBacklog = 19;
// Characters of the backlog, from the next one on, whose keys are prepared before the next one is typed: a
// layout that lacks them maps several at once, and has them ready by the time their turn comes.
constexpr int kPreparedCharacters = 16;

bool isAscii(QStringView character)
{
    return std::all_of(character.begin(), character.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// A text cut into its characters as views, without copying them.
struct Characters {
    explicit Characters(QStringView text) : text(text), bounds(Text::graphemeBoundaries(text)) {}
    qsizetype size() const { return bounds.size() - 1; }
    QStringView at(qsizetype i) const { return text.sliced(bounds[i], bounds[i + 1] - bounds[i]); }
    // The first `count` characters.
    QStringView first(qsizetype count) const { return text.first(bounds[count]); }
    QStringView after(qsizetype count) const { return text.sliced(bounds[count]); }

    QStringView text;
    QList<qsizetype> bounds;
};

// The core characters among characters [from, to), the last `limit` of them, in order.
QList<QStringView> lastCoreCharacters(const Characters& characters, qsizetype from, qsizetype to,
                                      qsizetype limit)
{
    QList<QStringView> found;
    for (qsizetype i = to - 1; i >= from && found.size() < limit; --i) {
        if (LiveInputSession::isCoreChar(characters.at(i)))
            found.prepend(characters.at(i));
    }
    return found;
}

} // namespace

// --- Creation and the pacer ---

std::shared_ptr<LiveInputSession> LiveInputSession::create(ContextInjector& injector,
                                                           std::optional<ActiveScreenContext> context)
{
    auto session = std::make_shared<LiveInputSession>(Passkey(), injector, std::move(context));
    session->startSmoothTypewriterPacer();
    return session;
}

LiveInputSession::LiveInputSession(Passkey, ContextInjector& injector,
                                   std::optional<ActiveScreenContext> context)
    : m_injector(injector), m_scheduler(injector.scheduler()), m_pacerQueue(injector.pacerQueue()),
      m_injectorLifetime(injector.lifetime()), m_keyTarget(injector.targetFocusedWindow()),
      m_turn(injector.scheduler())
{
    if (context) {
        m_context = std::move(*context);
        m_contextDecided = true;
    }
}

LiveInputSession::~LiveInputSession() = default; // the scheduled work cancels itself

void LiveInputSession::startSmoothTypewriterPacer()
{
    const std::weak_ptr<LiveInputSession> weak = weak_from_this();
    const TimerId start = m_scheduler.schedule(kPacerFirstTick, [weak] {
        const std::shared_ptr<LiveInputSession> self = weak.lock();
        if (!self)
            return;
        self->queueTick();
        const TimerId repeating = self->m_scheduler.scheduleRepeating(kPacerInterval, [weak] {
            if (const std::shared_ptr<LiveInputSession> session = weak.lock())
                session->queueTick();
        });
        ScheduledWork timer(&self->m_scheduler, repeating);
        std::lock_guard lock(self->m_stateLock);
        if (!self->m_pacerStopped)
            self->m_pacerTimer = std::move(timer);
        // else: `timer` cancels itself when it goes out of scope
    });
    ScheduledWork work(&m_scheduler, start);
    std::lock_guard lock(m_stateLock);
    m_pacerStart = std::move(work);
}

void LiveInputSession::queueTick()
{
    const std::weak_ptr<LiveInputSession> weak = weak_from_this();
    m_pacerQueue->async([weak] {
        if (const std::shared_ptr<LiveInputSession> self = weak.lock())
            self->tickAdaptiveCruiseStep();
    });
}

bool LiveInputSession::typingAllowedLocked() const
{
    return m_contextDecided && m_context.selectedText.isEmpty();
}

void LiveInputSession::tickAdaptiveCruiseStep()
{
    {
        std::lock_guard lock(m_stateLock);
        if (m_pacerStopped || m_typingFailure || !typingAllowedLocked() ||
            m_targetConfirmedText == m_emittedText)
            return; // idle ticks cost no Accessibility call
    }
    // A terminal gets its text as one paste at the end; nothing goes after the focus once it left.
    if (m_keyTarget->isTerminal() || m_keyTarget->hasLostFocus())
        return;
    if (!m_injector.isAccessibilityTrusted())
        return;

    QString piece;
    QString upcoming;
    int erase = 0;
    {
        std::lock_guard lock(m_stateLock);
        if (m_pacerStopped || !typingAllowedLocked())
            return;
        const MonotonicTime now = m_scheduler.now();
        if (GraphemeDiff::hasPrefix(m_targetConfirmedText, m_emittedText)) {
            const QList<qsizetype> bounds = Text::graphemeBoundaries(m_targetConfirmedText);
            const int targetLength = static_cast<int>(bounds.size()) - 1;
            const int emittedLength = static_cast<int>(
                std::lower_bound(bounds.cbegin(), bounds.cend(), m_emittedText.size()) - bounds.cbegin());
            const int backlog = targetLength - emittedLength;
            if (backlog <= 0)
                return;
            if (m_lastEmit && now - *m_lastEmit < minimumGap(backlog))
                return;
            const qsizetype from = bounds[emittedLength];
            const QStringView next(m_targetConfirmedText.constData() + from,
                                   bounds[emittedLength + 1] - from);
            const int chunk = backlog >= kLargeBacklog ? 2 : (!isAscii(next) || backlog <= 2) ? 1 : 2;
            const int take = std::min(backlog, chunk);
            piece = m_targetConfirmedText.sliced(from, bounds[emittedLength + take] - from);
            upcoming = m_targetConfirmedText.sliced(
                from, bounds[std::min(targetLength, emittedLength + kPreparedCharacters)] - from);
            m_emittedText += piece;
            m_lastEmit = now;
        } else {
            // The target was revised: erase back to the common part when that is short and on this line.
            const GraphemeDiff::CommonPrefix common =
                GraphemeDiff::commonPrefix(m_emittedText, m_targetConfirmedText);
            const QString tail = m_emittedText.sliced(common.codeUnits);
            const int k = Text::graphemeCount(tail);
            if (k < 1 || k > kMaxLiveRevision || tail.contains(u'\n'))
                return;
            m_emittedText.truncate(common.codeUnits);
            m_lastEmit = now;
            erase = k;
        }
    }
    // A piece holds at most two characters, too few for a line break followed by a list marker, so it never
    // needs the editor check (or its wait).
    if (piece.isEmpty()) {
        noteTyped(m_injector.sendBackspacesNow(erase, m_keyTarget.get()));
        return;
    }
    if (!isAscii(upcoming) && !noteTyped(m_injector.prepareToTypeNow(upcoming)))
        return;
    // The focus is looked at once more right before the keys go, on this queue.
    noteTyped(m_injector.typeCleanUnicodeNow(piece, m_keyTarget.get()));
}

bool LiveInputSession::noteTyped(const Status& status)
{
    if (status)
        return true;
    if (m_keyTarget->hasLostFocus())
        return false; // refused, not failed: the finish pastes where the focus went
    std::lock_guard lock(m_stateLock);
    if (!m_typingFailure) {
        qWarning("Live typing stopped, keys could not be posted: %s", qUtf8Printable(status.error));
        m_typingFailure = status.error;
    }
    return false;
}

bool LiveInputSession::hasTypingFailed() const
{
    std::lock_guard lock(m_stateLock);
    return m_typingFailure.has_value();
}

bool LiveInputSession::canType() const
{
    return !hasTypingFailed() && !m_keyTarget->hasLostFocus();
}

bool LiveInputSession::hasLostTargetWindow() const
{
    return m_keyTarget->hasLostFocus();
}

// --- Partials ---

bool LiveInputSession::updateLiveText(const QString& text, bool flushTrailingChar, bool isCloudStream)
{
    bool targetWasEmpty = false;
    QString previous;
    {
        std::lock_guard lock(m_stateLock);
        targetWasEmpty = m_targetConfirmedText.isEmpty();
        previous = m_previousHypothesis;
    }
    if (!m_injector.isAccessibilityTrusted())
        return false;
    const QString stripped = stripUnstableTrailingPunctuation(text);
    if (stripped.isEmpty())
        return true;
    const QString stable = isCloudStream
                               ? stripped
                               : computeLocalAgreement(previous, stripped, targetWasEmpty, flushTrailingChar);

    {
        std::lock_guard lock(m_stateLock);
        m_previousHypothesis = stripped;
        if (isCloudStream && GraphemeDiff::hasPrefix(stable, m_targetConfirmedText)) {
            if (stable.size() <= m_targetConfirmedText.size())
                return true;
            m_targetConfirmedText = stable;
        } else {
            bool revised = false;
            if (isCloudStream) {
                const GraphemeDiff::CommonPrefix common = GraphemeDiff::commonPrefix(m_emittedText, stable);
                const int emittedBeyond = Text::graphemeCount(m_emittedText) - common.characters;
                const int stableBeyond = Text::graphemeCount(stable) - common.characters;
                if (emittedBeyond <= kMaxLiveRevision && stableBeyond >= 1 && !stable.contains(u'\n')) {
                    m_targetConfirmedText = stable;
                    revised = true;
                }
            }
            if (!revised) {
                const std::optional<QString> suffix =
                    extractNewContinuationSuffix(m_targetConfirmedText, stable);
                if (!suffix || suffix->isEmpty())
                    return true;
                m_targetConfirmedText += *suffix;
            }
        }
    }
    queueTick();
    return true;
}

QString LiveInputSession::currentText() const
{
    std::lock_guard lock(m_stateLock);
    return m_emittedText;
}

QString LiveInputSession::targetConfirmedText() const
{
    std::lock_guard lock(m_stateLock);
    return m_targetConfirmedText;
}

void LiveInputSession::updateContext(const ActiveScreenContext& context)
{
    std::lock_guard lock(m_stateLock);
    m_context = context;
    m_contextDecided = true;
}

ActiveScreenContext LiveInputSession::context() const
{
    std::lock_guard lock(m_stateLock);
    return m_contextDecided ? m_context : ActiveScreenContext::empty();
}

bool LiveInputSession::isContextDecided() const
{
    std::lock_guard lock(m_stateLock);
    return m_contextDecided;
}

// --- Text rules ---

QString LiveInputSession::computeLocalAgreement(const QString& prev, const QString& curr,
                                                bool fastFirstSyllable, bool flushTrailingChar)
{
    if (curr.isEmpty())
        return {};
    if (flushTrailingChar)
        return curr;
    const Characters c(curr);
    const qsizetype n = c.size();
    const QString withoutLast = c.first(n - 1).toString();
    if (fastFirstSyllable && n != 1)
        return withoutLast;
    const Characters p(prev);
    const qsizetype m = p.size();
    if (n >= 3 && m < n)
        return withoutLast;

    const qsizetype limit = std::min(n, m);
    qsizetype i = 0;
    while (i < limit && c.at(i) == p.at(i))
        ++i;
    if (i == limit)
        return n < 3 ? c.first(limit).toString() : withoutLast;

    if (n >= 4) {
        // The hypothesis changed earlier on but still ends on what the previous one ended on: only the
        // middle was reworded, so all but the last character stands.
        const QList<QStringView> tail = lastCoreCharacters(p, std::max<qsizetype>(0, m - 4), m, 2);
        if (!tail.isEmpty() && lastCoreCharacters(c, 0, n - 1, tail.size()) == tail)
            return withoutLast;
    }
    return c.first(i).toString();
}

std::optional<QString> LiveInputSession::extractNewContinuationSuffix(const QString& alreadyConfirmed,
                                                                      const QString& newStable)
{
    if (newStable.isEmpty())
        return std::nullopt;
    if (alreadyConfirmed.isEmpty())
        return newStable;
    if (GraphemeDiff::hasPrefix(newStable, alreadyConfirmed)) {
        QString rest = newStable.sliced(alreadyConfirmed.size());
        return rest.isEmpty() ? std::nullopt : std::optional<QString>(std::move(rest));
    }

    // The stable text reworded what was confirmed: find where the confirmed text's last letters and digits
    // reappear in it and continue after them.
    const Characters confirmed(alreadyConfirmed);
    const QList<QStringView> a = lastCoreCharacters(confirmed, 0, confirmed.size(), confirmed.size());
    const qsizetype nA = a.size();
    if (nA == 0)
        return std::nullopt;
    const QList<QStringView> anchor = a.last(std::min<qsizetype>(nA, 3));

    const Characters s(newStable);
    QList<QStringView> core;
    QList<qsizetype> positionOfCore; // character index in s of core character number k + 1
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (isCoreChar(s.at(i))) {
            core.append(s.at(i));
            positionOfCore.append(i);
        }
    }
    const qsizetype k = core.size();
    if (k <= nA)
        return std::nullopt;

    qsizetype end = nA;
    const qsizetype anchorLength = anchor.size();
    for (qsizetype d = std::min(nA + 4, k - 1); d >= std::max(nA - 4, anchorLength); --d) {
        if (std::equal(anchor.cbegin(), anchor.cend(), core.cbegin() + (d - anchorLength))) {
            end = d;
            break;
        }
    }
    QString result = s.after(positionOfCore[end - 1] + 1).toString();
    return result.isEmpty() ? std::nullopt : std::optional<QString>(std::move(result));
}

QString LiveInputSession::stripUnstableTrailingPunctuation(const QString& text)
{
    // Every character of the set is a single UTF-16 unit, so the last unit decides.
    qsizetype end = text.size();
    while (end > 0 && kUnstableTrailingPunctuation.find(text[end - 1].unicode()) != std::u16string_view::npos)
        --end;
    return text.first(end);
}

bool LiveInputSession::isCoreChar(QStringView character)
{
    for (qsizetype i = 0; i < character.size(); ++i) {
        char32_t c = character[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < character.size() && character[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(character[i], character[i + 1]);
            ++i;
        }
        switch (QChar::category(c)) {
        case QChar::Letter_Uppercase:
        case QChar::Letter_Lowercase:
        case QChar::Letter_Titlecase:
        case QChar::Letter_Modifier:
        case QChar::Letter_Other:
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
        case QChar::Number_DecimalDigit:
        case QChar::Number_Letter:
        case QChar::Number_Other:
            return true;
        default:
            break;
        }
    }
    return false;
}

QString LiveInputSession::alphanumericOnly(QStringView text)
{
    const Characters characters(text);
    QString result;
    for (qsizetype i = 0; i < characters.size(); ++i) {
        if (isCoreChar(characters.at(i)))
            result += characters.at(i);
    }
    return result;
}

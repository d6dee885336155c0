#include "lexicon/TermImporter.h"

#include "lexicon/DisposableTerm.h"

#include "util/FileIO.h"
#include "util/Text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

namespace {

constexpr int kMinimumPieceLength = 2;
constexpr int kMaximumPieceLength = 18;
constexpr int kMinimumOccurrences = 2;

// A history database is tens of megabytes; one far larger is not worth copying into the temporary folder.
constexpr qint64 kMaxHistoryDatabaseBytes = 512LL * 1024 * 1024;
// Real page titles are short; a longer one is not a title, and skipping it bounds what one row costs.
constexpr int kMaxTitleBytes = 4096;
// No value the query touches needs more; SQLite refuses anything larger instead of allocating it.
constexpr int kMaxSqliteValueBytes = 1024 * 1024;
// The query takes about three million virtual-machine steps over 300,000 visited pages. A database built to
// keep it running (a view over an endless recursion) is stopped at fifty million.
constexpr int kProgressInterval = 10000;
constexpr int kMaxProgressCalls = 5000;
constexpr qint64 kMaxProfilesIniBytes = 1024 * 1024;
constexpr int kMaxFolderDepth = 64;
// Picking a huge folder (the whole home) must still end: stop walking after this many entries.
constexpr int kMaxFolderEntries = 200000;

const QString kChromiumHistoryQuery =
    QStringLiteral("SELECT title FROM urls WHERE title IS NOT NULL AND visit_count >= 2 ORDER BY visit_count "
                   "DESC, last_visit_time DESC LIMIT 500;");
const QString kFirefoxHistoryQuery =
    QStringLiteral("SELECT title FROM moz_places WHERE title IS NOT NULL AND visit_count >= 2 ORDER BY "
                   "visit_count DESC, last_visit_date DESC LIMIT 500;");
const QString kFirefoxDatabaseName = QStringLiteral("places.sqlite");

const QString& titleSeparators()
{
    static const QString separators = QStringLiteral(" -|—·•:：/()（）[]【】");
    return separators;
}

const QSet<QString>& browserTitleNoiseWords()
{
    static const QSet<QString> words{
        QStringLiteral("Google"),  QStringLiteral("Search"),    QStringLiteral("GitHub"),
        QStringLiteral("YouTube"), QStringLiteral("bilibili"),  QStringLiteral("哔哩哔哩"),
        QStringLiteral("知乎"),    QStringLiteral("百度"),      QStringLiteral("首页"),
        QStringLiteral("登录"),    QStringLiteral("管理"),      QStringLiteral("控制台"),
        QStringLiteral("文档"),    QStringLiteral("搜索"),      QStringLiteral("官网"),
        QStringLiteral("Home"),    QStringLiteral("Dashboard"), QStringLiteral("Login"),
    };
    return words;
}

const QSet<QString>& noteFileKinds()
{
    static const QSet<QString> kinds{QStringLiteral("md"), QStringLiteral("txt"), QStringLiteral("csv")};
    return kinds;
}

bool hasPieceLength(const QString& piece)
{
    const int length = Text::graphemeCount(piece);
    return length >= kMinimumPieceLength && length <= kMaximumPieceLength;
}

// Occurrence counts that remember which piece came first, so equal counts rank in a stable order.
class PieceCounter {
public:
    void add(const QString& piece)
    {
        auto found = m_index.constFind(piece);
        if (found == m_index.constEnd()) {
            m_index.insert(piece, m_counts.size());
            m_counts.append({piece, 1});
        } else {
            ++m_counts[*found].second;
        }
    }

    // Pieces seen at least twice that pass the filter, most frequent first, at most maxEntries.
    template <typename Filter> QStringList best(int maxEntries, Filter&& keep) const
    {
        QList<std::pair<QString, int>> kept;
        for (const auto& counted : m_counts) {
            if (counted.second >= kMinimumOccurrences && keep(counted.first))
                kept.append(counted);
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        QStringList result;
        for (qsizetype i = 0; i < kept.size() && i < maxEntries; ++i)
            result.append(kept[i].first);
        return result;
    }

private:
    QHash<QString, qsizetype> m_index;
    QList<std::pair<QString, int>> m_counts;
};

// ---- Firefox profile ---------------------------------------------------------------------------------

using IniSections = QList<std::pair<QString, QHash<QString, QString>>>;

IniSections parseIni(const QByteArray& bytes)
{
    IniSections sections;
    for (const QByteArray& rawLine : bytes.split('\n')) {
        const QString line = Text::trimmed(QString::fromUtf8(rawLine));
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            sections.append({line.mid(1, line.size() - 2), {}});
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0 || sections.isEmpty())
            continue;
        sections.last().second.insert(Text::trimmed(line.left(equals)), Text::trimmed(line.mid(equals + 1)));
    }
    return sections;
}

// Every profile folder Firefox lists: the one its install section names first, then the one marked as the
// default, then the others in file order.
QStringList firefoxProfiles(const QString& firefoxFolder)
{
    const std::optional<QByteArray> bytes =
        FileIO::readAll(QDir(firefoxFolder).filePath(QStringLiteral("profiles.ini")), kMaxProfilesIniBytes);
    if (!bytes)
        return {};
    const IniSections sections = parseIni(*bytes);
    const auto resolve = [&](const QString& path, bool relative) {
        if (path.isEmpty())
            return QString();
        return QDir::cleanPath(relative && !QDir::isAbsolutePath(path) ? QDir(firefoxFolder).filePath(path)
                                                                       : path);
    };
    QStringList installDefaults;
    QStringList markedDefaults;
    QStringList others;
    for (const auto& [name, keys] : sections) {
        if (name.startsWith(QLatin1String("Install")))
            installDefaults.append(resolve(keys.value(QStringLiteral("Default")), true));
        else if (name.startsWith(QLatin1String("Profile")))
            (keys.value(QStringLiteral("Default")) == u"1" ? markedDefaults : others)
                .append(resolve(keys.value(QStringLiteral("Path")),
                                keys.value(QStringLiteral("IsRelative")) != u"0"));
    }
    QStringList profiles;
    for (const QString& profile : installDefaults + markedDefaults + others) {
        if (!profile.isEmpty() && !profiles.contains(profile))
            profiles.append(profile);
    }
    return profiles;
}

// ---- Where browsers keep their history -------------------------------------------------------------

// The configuration folders of the Chromium family (Chrome, Chromium, Brave, Vivaldi, Edge), relative to a
// configuration home; they all keep the same `urls` table in each profile's History.
const QStringList& chromiumConfigFolders()
{
    static const QStringList folders{
        QStringLiteral("google-chrome"),
        QStringLiteral("google-chrome-beta"),
        QStringLiteral("google-chrome-unstable"),
        QStringLiteral("chromium"),
        QStringLiteral("BraveSoftware/Brave-Browser"),
        QStringLiteral("vivaldi"),
        QStringLiteral("vivaldi-snapshot"),
        QStringLiteral("microsoft-edge"),
        QStringLiteral("microsoft-edge-beta"),
        QStringLiteral("microsoft-edge-dev"),
    };
    return folders;
}

// The History of each profile in a Chromium-family folder: "Default" first, then "Profile 1", "Profile 2"...
QStringList chromiumProfileHistories(const QString& browserFolder)
{
    QStringList profiles{QStringLiteral("Default")};
    profiles += QDir(browserFolder)
                    .entryList({QStringLiteral("Profile *")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QStringList histories;
    for (const QString& profile : std::as_const(profiles))
        histories.append(QDir(browserFolder).filePath(profile + QStringLiteral("/History")));
    return histories;
}

// When the history was last written: a browser that keeps its database open writes the -wal file first.
QDateTime lastWritten(const QString& database)
{
    const QDateTime file = QFileInfo(database).lastModified();
    const QFileInfo wal(database + QStringLiteral("-wal"));
    return wal.isFile() ? std::max(file, wal.lastModified()) : file;
}

// ---- Private copy of a history database ----------------------------------------------------------------

Status tooLarge(const QString& path)
{
    return Status::failure(
        QStringLiteral("浏览历史 %1 超过 %2 MB，未读取").arg(path).arg(kMaxHistoryDatabaseBytes >> 20));
}

Status copyNotWritten(const QString& path, const QFile& file)
{
    return Status::failure(QStringLiteral("无法写入临时副本 %1（%2）").arg(path, file.errorString()));
}

Status copyPrivately(const QString& from, const QString& to)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return Status::failure(QStringLiteral("无法打开浏览历史 %1（%2）").arg(from, in.errorString()));
    if (in.size() > kMaxHistoryDatabaseBytes)
        return tooLarge(from);
    // Created new, readable by us alone, so nothing else can have put a file or link in its place.
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return Status::failure(QStringLiteral("无法创建临时副本 %1（%2）").arg(to, out.errorString()));
    constexpr qint64 kChunkBytes = 1 << 20;
    qint64 total = 0;
    for (;;) {
        const QByteArray chunk = in.read(kChunkBytes);
        if (in.error() != QFileDevice::NoError)
            return Status::failure(QStringLiteral("无法读取浏览历史 %1（%2）").arg(from, in.errorString()));
        if (chunk.isEmpty())
            break;
        // The browser may be writing while we copy.
        total += chunk.size();
        if (total > kMaxHistoryDatabaseBytes)
            return tooLarge(from);
        if (out.write(chunk) != chunk.size())
            return copyNotWritten(to, out);
    }
    if (!out.flush())
        return copyNotWritten(to, out);
    return Status::success();
}

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

int stopRunawayQuery(void* calls)
{
    return ++*static_cast<int*>(calls) > kMaxProgressCalls ? 1 : 0;
}

QString sqliteError(sqlite3* db)
{
    return QStringLiteral("无法读取浏览历史（%1）").arg(QString::fromUtf8(sqlite3_errmsg(db)));
}

// Reads the titles from the copy at `path` into counter. The database is the user's, but its content is
// treated as hostile: read-only, no side-effecting functions from its schema, bounded values and work.
Status countTitlePieces(const QString& path, const QString& query, PieceCounter& counter)
{
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, SqliteCloser> db(raw);
    if (opened != SQLITE_OK)
        return Status::failure(db ? sqliteError(db.get()) : QStringLiteral("无法打开浏览历史的临时副本"));
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_limit(db.get(), SQLITE_LIMIT_LENGTH, kMaxSqliteValueBytes);
    int progressCalls = 0;
    sqlite3_progress_handler(db.get(), kProgressInterval, stopRunawayQuery, &progressCalls);

    sqlite3_stmt* rawStatement = nullptr;
    const QByteArray sql = query.toUtf8();
    if (sqlite3_prepare_v2(db.get(), sql.constData(), -1, &rawStatement, nullptr) != SQLITE_OK)
        return Status::failure(sqliteError(db.get()));
    const std::unique_ptr<sqlite3_stmt, SqliteFinalizer> statement(rawStatement);

    int rows = 0;
    int stepped = SQLITE_ROW;
    while (rows < TermImporter::kMaxHistoryRows && (stepped = sqlite3_step(statement.get())) == SQLITE_ROW) {
        ++rows;
        const unsigned char* text = sqlite3_column_text(statement.get(), 0);
        const int bytes = sqlite3_column_bytes(statement.get(), 0);
        if (!text || bytes > kMaxTitleBytes)
            continue;
        const QString title = QString::fromUtf8(reinterpret_cast<const char*>(text), bytes);
        for (const QString& piece : TermImporter::extractCleanEntities(title))
            counter.add(piece);
    }
    // A query that fails part-way (a damaged page, the work budget) is reported, not taken as a short
    // history.
    if (stepped != SQLITE_ROW && stepped != SQLITE_DONE)
        return Status::failure(sqliteError(db.get()));
    return Status::success();
}

// ---- Note folder -------------------------------------------------------------------------------------

// Bold text, inline code and capitalised words, in that order.
const std::array<std::unique_ptr<icu::RegexPattern>, 3>& notePatterns()
{
    static const std::array<std::unique_ptr<icu::RegexPattern>, 3> patterns = [] {
        const std::array<const char16_t*, 3> sources{
            u"\\*\\*([^*]{2,16})\\*\\*",
            u"`([A-Za-z0-9_\\-\\.]{2,20})`",
            u"\\b([A-Z][A-Za-z0-9]{2,15})\\b",
        };
        std::array<std::unique_ptr<icu::RegexPattern>, 3> compiled;
        for (size_t i = 0; i < sources.size(); ++i) {
            UErrorCode status = U_ZERO_ERROR;
            UParseError parseError{};
            compiled[i].reset(
                icu::RegexPattern::compile(icu::UnicodeString(sources[i]), 0, parseError, status));
            if (U_FAILURE(status))
                compiled[i].reset();
        }
        return compiled;
    }();
    return patterns;
}

constexpr size_t kCapitalisedWordPattern = 2;

// Calls found(piece, pattern, start) for each note piece: pattern by pattern, in match order, with the index
// of the pattern and where the piece starts in the text.
template <typename Found> void forEachNotePiece(const QString& text, Found&& found)
{
    const icu::UnicodeString alias(false, reinterpret_cast<const char16_t*>(text.utf16()),
                                   static_cast<int32_t>(text.size()));
    const auto& patterns = notePatterns();
    for (size_t p = 0; p < patterns.size(); ++p) {
        if (!patterns[p])
            continue;
        UErrorCode status = U_ZERO_ERROR;
        const std::unique_ptr<icu::RegexMatcher> matcher(patterns[p]->matcher(alias, status));
        if (U_FAILURE(status) || !matcher)
            continue;
        for (int matches = 0;
             matches < TermImporter::kMaxMatchesPerPattern && matcher->find(status) && U_SUCCESS(status);
             ++matches) {
            if (matcher->groupCount() < 1)
                continue;
            const int32_t start = matcher->start(1, status);
            const int32_t end = matcher->end(1, status);
            if (U_FAILURE(status) || start < 0 || end < start)
                break;
            const QString piece = Text::trimmed(QStringView(text).sliced(start, end - start));
            if (hasPieceLength(piece))
                found(piece, p, qsizetype(start));
        }
    }
}

// Whether the word at `start` opens a sentence or a line: before it, past blanks, opening quotes and
// brackets, Markdown's list, heading and quote marks and list numbers, there is the start of the text, a line
// break or a sentence's end. Any word is capitalised there.
bool opensSentenceOrLine(const QString& text, qsizetype start)
{
    static const QString skipped = QStringLiteral(" \t\"'([{“‘「《*_#>-+|•0123456789");
    static const QString sentenceEnds = QStringLiteral(".!?。！？…");
    qsizetype i = start - 1;
    while (i >= 0 && skipped.contains(text[i]))
        --i;
    return i < 0 || text[i] == u'\n' || text[i] == u'\r' || sentenceEnds.contains(text[i]);
}

// Common English words that a capital letter at a sentence's start makes look like names.
const QSet<QString>& englishFunctionWords()
{
    static const QSet<QString> words = [] {
        QSet<QString> set;
        for (const char* word :
             {"the",    "this",    "that",      "these",     "those",    "there",       "here",
              "then",   "than",    "when",      "where",     "what",     "which",       "while",
              "whom",   "whose",   "who",       "why",       "how",      "and",         "but",
              "nor",    "yet",     "for",       "from",      "with",     "without",     "within",
              "into",   "onto",    "upon",      "about",     "above",    "below",       "after",
              "before", "between", "through",   "during",    "since",    "until",       "till",
              "over",   "under",   "off",       "out",       "not",      "also",        "although",
              "though", "because", "unless",    "whether",   "however",  "therefore",   "thus",
              "hence",  "instead", "otherwise", "meanwhile", "moreover", "furthermore", "still",
              "even",   "just",    "only",      "very",      "too",      "now",         "once",
              "again",  "always",  "never",     "often",     "all",      "any",         "some",
              "each",   "every",   "both",      "either",    "neither",  "many",        "much",
              "more",   "most",    "other",     "another",   "such",     "same",        "you",
              "your",   "yours",   "our",       "ours",      "they",     "their",       "theirs",
              "them",   "she",     "her",       "hers",      "his",      "him",         "its",
              "mine",   "are",     "was",       "were",      "been",     "being",       "does",
              "did",    "done",    "have",      "has",       "had",      "can",         "could",
              "would",  "shall",   "should",    "might",     "must",     "let",         "yes",
              "first",  "second",  "next",      "last",      "finally",  "please",      "note",
              "see"})
            set.insert(QString::fromLatin1(word));
        return set;
    }();
    return words;
}

// A piece that is no term: a common or disposable word as the learning judges it (numbers, versions, paths,
// everyday Chinese words), or an English function word.
bool isCommonNotePiece(const QString& piece)
{
    return DisposableTerm::isCommonOrDisposable(piece) || englishFunctionWords().contains(piece.toLower());
}

class NoteFolderWalker {
public:
    explicit NoteFolderWalker(PieceCounter& counter) : m_counter(counter) {}

    // A piece seen bold, as code, or capitalised inside a sentence: a capital seen only where every word has
    // one says nothing.
    bool standsAlone(const QString& piece) const { return m_standsAlone.contains(piece); }

    void walk(const QString& folder, int depth)
    {
        if (depth > kMaxFolderDepth || m_done)
            return;
        // Hidden entries are left out (and hidden folders not entered); links to folders are not followed, so
        // a link cannot lead the walk in circles.
        const QFileInfoList entries =
            QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& entry : entries) {
            if (m_done || ++m_entriesSeen > kMaxFolderEntries) {
                m_done = true;
                return;
            }
            if (entry.isDir()) {
                if (!entry.isSymLink())
                    walk(entry.filePath(), depth + 1);
                continue;
            }
            if (!entry.isFile() || !noteFileKinds().contains(entry.suffix().toLower()))
                continue;
            if (++m_notesSeen > TermImporter::kMaxNoteFiles) {
                m_done = true;
                return;
            }
            readNote(entry);
        }
    }

private:
    void readNote(const QFileInfo& entry)
    {
        if (entry.size() > TermImporter::kMaxNoteFileBytes)
            return;
        const std::optional<QByteArray> bytes =
            FileIO::readAll(entry.filePath(), TermImporter::kMaxNoteFileBytes);
        if (!bytes)
            return;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
        const QString text = decoder(*bytes);
        if (decoder.hasError())
            return; // not UTF-8 text
        forEachNotePiece(text, [&](const QString& piece, size_t pattern, qsizetype start) {
            m_counter.add(piece);
            if (pattern != kCapitalisedWordPattern || !opensSentenceOrLine(text, start))
                m_standsAlone.insert(piece);
        });
    }

    PieceCounter& m_counter;
    QSet<QString> m_standsAlone;
    int m_entriesSeen = 0;
    int m_notesSeen = 0;
    bool m_done = false;
};

} // namespace

namespace TermImporter {

QStringList historyDatabaseCandidates(const QString& homeFolder)
{
    const QDir home(homeFolder);
    // Configuration homes: the native one, the snap of Chromium, and each Flatpak's.
    QStringList configHomes{home.filePath(QStringLiteral(".config"))};
    QStringList chromiumFolders;
    const QDir flatpaks(home.filePath(QStringLiteral(".var/app")));
    for (const QString& app : flatpaks.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        configHomes.append(flatpaks.filePath(app + QStringLiteral("/config")));
    for (const QString& configHome : std::as_const(configHomes)) {
        for (const QString& folder : chromiumConfigFolders())
            chromiumFolders.append(QDir(configHome).filePath(folder));
    }
    chromiumFolders.append(home.filePath(QStringLiteral("snap/chromium/common/chromium")));

    QStringList candidates;
    for (const QString& folder : std::as_const(chromiumFolders)) {
        if (!QFileInfo(folder).isDir())
            continue;
        for (const QString& history : chromiumProfileHistories(folder)) {
            if (QFileInfo(history).isFile())
                candidates.append(history);
        }
    }
    // Firefox: native, as a snap and as a Flatpak.
    for (const char* firefox : {".mozilla/firefox", "snap/firefox/common/.mozilla/firefox",
                                ".var/app/org.mozilla.firefox/.mozilla/firefox"}) {
        for (const QString& profile : firefoxProfiles(home.filePath(QString::fromLatin1(firefox)))) {
            const QString places = QDir(profile).filePath(kFirefoxDatabaseName);
            if (QFileInfo(places).isFile())
                candidates.append(places);
        }
    }
    return candidates;
}

QString mostRecentHistory(const QStringList& candidates)
{
    QString newest;
    QDateTime newestWrite;
    for (const QString& candidate : candidates) {
        const QDateTime written = lastWritten(candidate);
        if (newest.isEmpty() || written > newestWrite) {
            newest = candidate;
            newestWrite = written;
        }
    }
    return newest;
}

MinedTerms mineLocalBrowserHistory(const TermImportLocations& locations, int maxEntries)
{
    MinedTerms mined;
    const QString home = locations.homeFolder.isEmpty() ? QDir::homePath() : locations.homeFolder;
    const QString found = mostRecentHistory(historyDatabaseCandidates(home));
    if (found.isEmpty()) {
        mined.status = Status::failure(QStringLiteral(
            "未找到本机浏览器的浏览历史（已查找 Chrome、Chromium、Brave、Vivaldi、Edge 与 Firefox）"));
        return mined;
    }
    mined.source = found;

    // The browser keeps its database open and locked: read a copy in a private folder (0700) that is removed,
    // with everything SQLite adds beside the copy, on every way out of this function.
    const QString tempFolder = locations.tempFolder.isEmpty() ? QDir::tempPath() : locations.tempFolder;
    QTemporaryDir privateFolder(QDir(tempFolder).filePath(QStringLiteral("qb_hist_XXXXXX")));
    if (!privateFolder.isValid()) {
        mined.status =
            Status::failure(QStringLiteral("无法使用临时文件夹（%1）").arg(privateFolder.errorString()));
        return mined;
    }
    const QString copy = privateFolder.filePath(QStringLiteral("qb_hist_") +
                                                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                                                QStringLiteral(".sqlite"));
    if (Status copied = copyPrivately(found, copy); !copied) {
        mined.status = copied;
        return mined;
    }
    // Recent visits may still be in the write-ahead log. Its shared-memory index is not copied: taken a
    // moment after the log it could point past the copied frames, and SQLite rebuilds it from the log.
    const QString wal = found + QStringLiteral("-wal");
    if (QFileInfo(wal).isFile()) {
        if (Status copied = copyPrivately(wal, copy + QStringLiteral("-wal")); !copied) {
            mined.status = copied;
            return mined;
        }
    }

    const QString query =
        QFileInfo(found).fileName() == kFirefoxDatabaseName ? kFirefoxHistoryQuery : kChromiumHistoryQuery;
    PieceCounter counter;
    mined.status = countTitlePieces(copy, query, counter);
    if (mined.status)
        mined.terms = counter.best(
            maxEntries, [](const QString& piece) { return !browserTitleNoiseWords().contains(piece); });
    return mined;
}

MinedTerms mineMarkdownFolder(const QString& folder, int maxEntries)
{
    MinedTerms mined;
    mined.source = folder;
    const QFileInfo root(folder);
    if (folder.isEmpty() || !root.isDir() || !root.isReadable()) {
        mined.status = Status::failure(QStringLiteral("无法读取文件夹「%1」").arg(folder));
        return mined;
    }
    PieceCounter counter;
    NoteFolderWalker walker(counter);
    walker.walk(root.absoluteFilePath(), 0);
    mined.terms = counter.best(maxEntries, [&](const QString& piece) {
        return walker.standsAlone(piece) && !isCommonNotePiece(piece);
    });
    return mined;
}

QStringList extractCleanEntities(const QString& title)
{
    QStringList pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= title.size(); ++i) {
        if (i < title.size() && !titleSeparators().contains(title[i]))
            continue;
        const QString piece = Text::trimmed(QStringView(title).sliced(start, i - start));
        if (hasPieceLength(piece))
            pieces.append(piece);
        start = i + 1;
    }
    return pieces;
}

QStringList extractEntitiesFromNote(const QString& text)
{
    QStringList pieces;
    forEachNotePiece(text, [&](const QString& piece, size_t, qsizetype) { pieces.append(piece); });
    return pieces;
}

} // namespace TermImporter

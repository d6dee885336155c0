#pragma once

#include "util/Status.h"

#include <QString>
#include <QStringList>

// Where term import looks. Empty folders mean the user's home folder and the system's temporary folder.
struct TermImportLocations {
    QString homeFolder;
    QString tempFolder;
};

// Candidate terms mined from one source, most frequent first; a failed status when the source could not be
// read at all.
struct [[nodiscard]] MinedTerms {
    QStringList terms;
    Status status;
    // The database or folder that was read.
    QString source;
};

// What an import did to the lexicon: how many entries are new, or why nothing was read.
struct [[nodiscard]] TermImportResult {
    int added = 0;
    Status status;
};

// Mining of terms from material the user already has: page titles in a local browser's history and marked-up
// words in a folder of notes. Pure functions of the files they read, safe to run on any thread; they never
// write anywhere but a private temporary folder of their own, which they always remove.
namespace TermImporter {

// Bounds on everything read from outside.
constexpr int kMaxHistoryRows = 500;
constexpr int kMaxNoteFiles = 400;
constexpr qint64 kMaxNoteFileBytes = 16 * 1024 * 1024;
constexpr int kMaxMatchesPerPattern = 120;

// Every history database found under the home: each profile of the Chromium family (Chrome, Chromium, Brave,
// Vivaldi, Edge; native, snap and Flatpak) and each Firefox profile listed in its profiles.ini (native, snap
// and Flatpak), in a fixed order.
QStringList historyDatabaseCandidates(const QString& homeFolder);
// The one the user uses now: written most recently (the database or its -wal), the earlier in the list on a
// tie; empty when there is none. Only that one is read.
QString mostRecentHistory(const QStringList& candidates);

// Titles of pages visited at least twice, split into pieces; pieces seen at least twice, best first, at most
// maxEntries of them.
MinedTerms mineLocalBrowserHistory(const TermImportLocations& locations, int maxEntries);

// Bold phrases, code spans and capitalised words of the .md, .txt and .csv files under folder (hidden files
// and folders left out) that occur at least twice, best first, at most maxEntries of them. Common words are
// left out (numbers, versions, everyday Chinese words, English function words), and so is a capitalised word
// only ever seen opening a sentence or a line, where every word has a capital.
MinedTerms mineMarkdownFolder(const QString& folder, int maxEntries);

// The pieces of a page title between separators, 2 to 18 characters long, in title order.
QStringList extractCleanEntities(const QString& title);
// The bold phrases, code spans and capitalised words of a note, pattern by pattern, in match order.
QStringList extractEntitiesFromNote(const QString& text);

} // namespace TermImporter

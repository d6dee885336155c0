// The child of KillDuringSaveTest: saves the settings, the history and the lexicon in the data folder
// given as its argument, round after round, the way the app does, until it is killed. Before each round it
// prints the round's number.
#include "SaveLoopData.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/FileIO.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    PersonalLexiconStore lexicon(folder.filePath(QStringLiteral("lexicon.json")));
    for (int version = 1;; ++version) {
        std::printf("%d\n", version);
        std::fflush(stdout);
        const QByteArray config =
            QJsonDocument(SaveLoopData::config(version).toJson()).toJson(QJsonDocument::Compact);
        if (!FileIO::writeAtomically(folder.filePath(QStringLiteral("config.json")), config))
            return 1;
        if (!FileIO::writeAtomically(folder.filePath(QStringLiteral("history.json")),
                                     encodeHistory(SaveLoopData::history(version))))
            return 1;
        lexicon.setEntries(SaveLoopData::terms(version));
        if (!lexicon.save())
            return 1;
    }
}

// Runs every fuzz target over its seed corpus and over the inputs of past findings (regressions/<target>),
// so the normal suite keeps each one fixed without a fuzzing build.
#include "fuzz/FuzzTarget.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<const char*, FuzzFunction>>& targets()
{
    static std::vector<std::pair<const char*, FuzzFunction>> list;
    return list;
}

QStringList filesIn(const QString& folder)
{
    QStringList paths;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name))
        paths.append(dir.filePath(name));
    return paths;
}

} // namespace

bool FuzzRegistry::add(const char* name, FuzzFunction function)
{
    targets().emplace_back(name, function);
    return true;
}

TEST(FuzzReplay, EveryTargetReadsItsSeedsAndPastFindings)
{
    ASSERT_EQ(targets().size(), static_cast<size_t>(QB_FUZZ_TARGET_COUNT));
    const QString root = QStringLiteral(QB_FUZZ_DIR);
    for (const auto& [name, function] : targets()) {
        const QString target = QString::fromLatin1(name);
        const QStringList seeds = filesIn(root + QStringLiteral("/corpus/") + target);
        EXPECT_FALSE(seeds.isEmpty()) << name << " has no seed corpus";
        for (const QString& path : seeds + filesIn(root + QStringLiteral("/regressions/") + target)) {
            SCOPED_TRACE(path.toStdString());
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            // A broken invariant aborts the program, naming the input above.
            std::fprintf(stderr, "%s\n", qPrintable(path));
            function(file.readAll());
        }
    }
}

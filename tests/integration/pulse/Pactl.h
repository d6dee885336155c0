#pragma once

#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>

// Runs pactl against the test's sound server, a tool other than the backend under test. A failure counts
// against the test unless the caller takes it through `ok`.
inline QString pactl(const QStringList& arguments, bool* ok = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    const bool succeeded = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
                           process.exitCode() == 0;
    if (ok)
        *ok = succeeded;
    else
        EXPECT_TRUE(succeeded) << "pactl " << arguments.join(QLatin1Char(' ')).toStdString() << ": "
                               << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

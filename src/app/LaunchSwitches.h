#pragma once

#include <QString>
#include <QStringList>

// What the process does, chosen once from its arguments before any QApplication exists.
struct LaunchRequest {
    enum class Mode { application, selfTest, benchASR, abVerify };
    Mode mode = Mode::application;
    QString wavPath; // for abVerify

    bool operator==(const LaunchRequest&) const = default;
};

// args is the whole argument list, program path included. First match wins: "--self-test", "--bench-asr",
// then the first "--ab-verify" that has an argument after it.
LaunchRequest parseLaunchSwitches(const QStringList& args);

// Runs a test mode and returns its exit status.
int runTestMode(const LaunchRequest& request);

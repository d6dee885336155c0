#include "app/LaunchSwitches.h"

#include <gtest/gtest.h>

namespace {
LaunchRequest parse(std::initializer_list<const char*> args)
{
    QStringList list{QStringLiteral("/usr/bin/quorbell")};
    for (const char* arg : args)
        list.append(QString::fromUtf8(arg));
    return parseLaunchSwitches(list);
}
using Mode = LaunchRequest::Mode;
} // namespace

TEST(LaunchSwitches, FirstMatchingSwitchWins)
{
    EXPECT_EQ(parse({}).mode, Mode::application);
    EXPECT_EQ(parse({"--bench-asr", "--self-test"}).mode, Mode::selfTest) << "the self-test outranks the benchmark";
    EXPECT_EQ(parse({"--bench-asr"}).mode, Mode::benchASR);
    EXPECT_EQ(parse({"--ab-verify", "/tmp/a.wav"}), (LaunchRequest{Mode::abVerify, QStringLiteral("/tmp/a.wav")}));
    EXPECT_EQ(parse({"--ab-verify", "/tmp/a.wav", "--ab-verify", "/tmp/b.wav"}).wavPath, QStringLiteral("/tmp/a.wav"));
    EXPECT_EQ(parse({"--ab-verify"}).mode, Mode::application) << "a trailing --ab-verify starts the app";
    EXPECT_EQ(parse({"--ab-verify", "x.wav", "--bench-asr"}).mode, Mode::benchASR);
    EXPECT_EQ(parse({"--self-test=1"}).mode, Mode::application) << "switches match whole arguments";
}

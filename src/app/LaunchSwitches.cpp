#include "app/LaunchSwitches.h"

#include "selftest/SelfTestSuite.h"

LaunchRequest parseLaunchSwitches(const QStringList& args)
{
    if (args.contains(QStringLiteral("--self-test")))
        return {LaunchRequest::Mode::selfTest, {}};
    if (args.contains(QStringLiteral("--bench-asr")))
        return {LaunchRequest::Mode::benchASR, {}};
    const qsizetype ab = args.indexOf(QStringLiteral("--ab-verify"));
    if (ab >= 0 && ab + 1 < args.size())
        return {LaunchRequest::Mode::abVerify, args.at(ab + 1)};
    return {};
}

int runTestMode(const LaunchRequest& request)
{
    switch (request.mode) {
    case LaunchRequest::Mode::selfTest:
        return SelfTestSuite::runAll();
    case LaunchRequest::Mode::benchASR:
        return SelfTestSuite::runDualASRSmokeBenchmark();
    case LaunchRequest::Mode::abVerify:
        return SelfTestSuite::runEmpiricalABVerification(request.wavPath);
    case LaunchRequest::Mode::application:
        break;
    }
    return 0;
}

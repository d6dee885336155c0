#include "app/LaunchSwitches.h"

#include "platform/linux/LibsecretStore.h"
#include "selftest/SelfTestSuite.h"

#include <memory>

namespace {

// Without a session bus libsecret would try to launch one (and a Secret Service on it) and could wait on
// that for a long time; the speech modes then read no key and say why.
class NoSessionBusStore final : public SecretStore {
public:
    SecretLookup read(const QString&, const QString&) override { return SecretLookup::failed(reason()); }
    Status store(const QString&, const QString&, const QString&) override
    {
        return Status::failure(reason());
    }
    Status remove(const QString&, const QString&) override { return Status::failure(reason()); }

private:
    static QString reason() { return QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"); }
};

SelfTestSuite::SpeechBenchContext speechBenchContext()
{
    SelfTestSuite::SpeechBenchContext context;
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        context.keyring = std::make_shared<NoSessionBusStore>();
    else
        context.keyring = std::make_shared<LibsecretStore>();
    context.seedASR = SelfTestSuite::seedASREndpointFromEnvironment();
    return context;
}

} // namespace

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
        return SelfTestSuite::runDualASRSmokeBenchmark(speechBenchContext());
    case LaunchRequest::Mode::abVerify:
        return SelfTestSuite::runEmpiricalABVerification(request.wavPath, speechBenchContext());
    case LaunchRequest::Mode::application:
        break;
    }
    return 0;
}

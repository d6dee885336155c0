// A canary key in every keyring slot, then the app at work: start-up with its warm-ups, dictations polished
// by the configured model host (one answered by a redirect to another host), a model benchmark, a
// transcription probe against the configured speech host, a typed key saved. Each key must reach only its own
// configured host, and only in its header; no key may appear in any file the app writes or in anything it
// logs.
#include "core/AppStateHarness.h"
#include "lexicon/PersonalLexiconStore.h"
#include "util/AppIdentity.h"

#include <QDirIterator>
#include <QTemporaryFile>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QByteArray kCanary = "qb-canary-" + QUuid::createUuid().toByteArray(QUuid::Id128);

QByteArray canaryFor(const QString& slot)
{
    return kCanary + "-" + slot.toLatin1();
}

// Everything written to the process's stderr (Qt's messages, traces) while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(2);
        ::dup2(m_file.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray finish()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

QByteArray everyRequest(const ScriptedHttpServer& server)
{
    QByteArray all;
    for (const ScriptedHttpServer::Request& request : server.requests()) {
        all += request.method + ' ' + request.path + '\n';
        for (auto it = request.headers.begin(); it != request.headers.end(); ++it)
            all += it.key() + ": " + it.value() + '\n';
        all += request.body + '\n';
    }
    return all;
}

ScriptedHttpServer::Reply answer(const QByteArray& text)
{
    return ScriptedHttpServer::Reply::sse(
        {"data: {\"choices\":[{\"delta\":{\"content\":\"" + text + "\"}}]}\n\n", "data: [DONE]\n\n"});
}

// Runs a task to its end while virtual time moves on in small steps (its warm-ups and limits run on it),
// never ahead of real time: the answers come over real sockets.
void runToEnd(AppStateHarness& h, QCoro::Task<>&& task)
{
    auto done = watch(std::move(task));
    ASSERT_TRUE(h.settleWhileTimePasses([&] { return done->done; }, 10ms));
}

} // namespace

TEST(CanaryKey, KeysReachOnlyTheirOwnHostAndNeverAFileOrTheLog)
{
    StderrCapture log;
    AppStateHarness h;
    ScriptedHttpServer otherHost(h.scheduler);
    ASSERT_TRUE(otherHost.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    otherHost.setHandler([](const ScriptedHttpServer::Request&) { return answer("从别处来的"); });
    ScriptedHttpServer speechHost(h.scheduler);
    ASSERT_TRUE(speechHost.listen(QHostAddress(QStringLiteral("127.0.0.3"))));
    speechHost.setHandler([](const ScriptedHttpServer::Request&) {
        return ScriptedHttpServer::Reply::json(200, R"({"text":"好"})");
    });

    int chats = 0;
    const QByteArray elsewhere = otherHost.baseUrl().toString().toUtf8() + "/v1/chat/completions";
    h.server.setHandler([&](const ScriptedHttpServer::Request& request) {
        if (!request.path.endsWith("/chat/completions"))
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        if (chats++ == 0) { // the first answer sends the key's bearer elsewhere
            ScriptedHttpServer::Reply redirect = ScriptedHttpServer::Reply::json(307, "{}");
            redirect.headers.append({"Location", elsewhere});
            return redirect;
        }
        return answer("今天开会。");
    });
    for (const QString& slot : KeychainHelper::allSlots())
        ASSERT_TRUE(
            h.secrets.store(AppIdentity::bundleIdentifier(), slot, QString::fromLatin1(canaryFor(slot))));

    QJsonObject settings = AppStateHarness::verbatimDictation();
    settings.insert(QStringLiteral("formattingStyle"), QStringLiteral("structured"));
    settings.insert(QStringLiteral("enableFastBypassForShortPhrases"), false);
    settings.insert(QStringLiteral("openAIASRBaseURL"),
                    speechHost.baseUrl().toString() + QStringLiteral("/v1"));
    h.workspace.setFrontmost(FrontmostApplication{QStringLiteral("Kate"), QStringLiteral("org.kde.kate"),
                                                  4242, QStringLiteral("notes.md — Kate")});
    AppState& state = h.start(settings);

    for (int i = 0; i < 2; ++i) {
        h.begin();
        h.engine->transcripts.push_back({QStringLiteral("今天开会"), 2});
        auto finished = watch(state.finishDictationSession());
        h.scheduler.advance(100ms);
        ASSERT_TRUE(h.settle([&] { return finished->done; }));
        h.scheduler.advance(3s);
    }
    runToEnd(h, state.runLLMProviderBenchmark(LLMProviderOption::deepseek, h.localBase,
                                              QStringLiteral("deepseek-chat"), state.apiKeyInput()));
    runToEnd(h, state.runOpenAIASRProbe());
    state.setApiKeyInput(QString::fromLatin1(canaryFor(QStringLiteral("typed"))));
    runToEnd(h, state.saveAPIKey());
    ASSERT_TRUE(state.saveConfig());
    ASSERT_TRUE(state.saveHistory());
    ASSERT_TRUE(state.lexiconStore().save());
    h.defaults.sync();
    h.state.reset();
    const QByteArray logged = log.finish();

    // The canary was used: the model host saw the provider's key, the speech host its own.
    const QByteArray llmKey = canaryFor(KeychainHelper::providerSlot(LLMProviderOption::deepseek));
    const QByteArray speechKey = canaryFor(KeychainHelper::kOpenAIASRSlot);
    ASSERT_GE(chats, 2);
    bool modelHostSawKey = false;
    for (const ScriptedHttpServer::Request& request : h.server.requests()) {
        modelHostSawKey |= request.header("Authorization") == "Bearer " + llmKey;
        EXPECT_FALSE(request.body.contains(kCanary) || request.path.contains(kCanary))
            << request.path.constData();
        EXPECT_FALSE(request.header("Authorization").contains(speechKey));
    }
    EXPECT_TRUE(modelHostSawKey);
    bool speechHostSawKey = false;
    for (const ScriptedHttpServer::Request& request : speechHost.requests()) {
        speechHostSawKey |= request.header("Authorization") == "Bearer " + speechKey;
        EXPECT_FALSE(request.body.contains(kCanary));
        EXPECT_FALSE(request.header("Authorization").contains(llmKey));
    }
    EXPECT_TRUE(speechHostSawKey);

    EXPECT_FALSE(everyRequest(otherHost).contains(kCanary)) << "a key followed a redirect to another host";
    EXPECT_FALSE(logged.contains(kCanary)) << logged.constData();
    for (const QString& folder : {h.data.path(), h.settingsDir.path()}) {
        QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            EXPECT_FALSE(FileIO::readAll(path).value_or(QByteArray()).contains(kCanary))
                << path.toStdString();
        }
    }
    QFile arguments(QStringLiteral("/proc/self/cmdline"));
    ASSERT_TRUE(arguments.open(QIODevice::ReadOnly));
    EXPECT_FALSE(arguments.readAll().contains(kCanary));
}

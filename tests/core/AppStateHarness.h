#pragma once

#include "FakeSpeechEngine.h"
#include "core/AppState.h"
#include "core/KeychainHelper.h"
#include "fakes/FakeAccessibility.h"
#include "fakes/FakeAudioOutput.h"
#include "fakes/FakeClipboard.h"
#include "fakes/FakeGlobalKeySource.h"
#include "fakes/FakeHotKeyRegistrar.h"
#include "fakes/FakeInputSynth.h"
#include "fakes/FakeLocalKeyCapture.h"
#include "fakes/FakePermissions.h"
#include "fakes/FakeSecretStore.h"
#include "fakes/FakeSoundPlayer.h"
#include "fakes/FakeWorkspace.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDataFolder.h"
#include "support/VirtualScheduler.h"
#include "system/SyntheticKeyLedger.h"
#include "util/FileIO.h"

#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

// An AppState on fakes, a private data folder, a private defaults file, virtual time and a local HTTP server
// that stands in for every language-model host (so nothing in a test reaches the network).
class AppStateHarness {
public:
    AppStateHarness() : defaults(settingsDir.filePath(QStringLiteral("defaults.ini")), QSettings::IniFormat)
    {
        qunsetenv("QUORBELL_API_KEY");
        KeychainHelper::installStore(&secrets);
        server.setHandler([](const ScriptedHttpServer::Request&) {
            return ScriptedHttpServer::Reply::json(200, R"({"data":[]})");
        });
        server.listen();
        localBase = server.baseUrl().toString() + QStringLiteral("/v1");
    }
    ~AppStateHarness()
    {
        state.reset();
        KeychainHelper::installStore(nullptr);
    }

    // A settings file that keeps every host on this machine.
    void writeLocalConfig(QJsonObject extra = {})
    {
        QJsonObject config{{QStringLiteral("selectedProvider"), QStringLiteral("deepseek")},
                           {QStringLiteral("baseURL"), localBase},
                           {QStringLiteral("customBaseURL"), localBase + QStringLiteral("/custom")},
                           {QStringLiteral("openAIASRBaseURL"), localBase}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            config.insert(it.key(), it.value());
        FileIO::writeAtomically(data.filePath(QStringLiteral("config.json")), QJsonDocument(config).toJson());
    }

    AppState& build()
    {
        auto speech = std::make_unique<FakeSpeechEngine>();
        engine = speech.get();
        engine->microphoneAuthorized = microphoneAuthorized;
        AppServices services;
        services.scheduler = &scheduler;
        services.accessibility = &accessibility;
        services.workspace = &workspace;
        services.permissions = &permissions;
        services.clipboard = &clipboard;
        services.inputSynth = &inputSynth;
        services.soundPlayer = &sounds;
        services.audioOutput = &audioOutput;
        services.keySource = &keySource;
        services.hotKeys = &hotKeys;
        services.localKeys = &localKeys;
        services.keyLedger = &ledger;
        services.defaults = &defaults;
        services.speechEngine = std::move(speech);
        state = std::make_unique<AppState>(std::move(services));
        return *state;
    }

    QString configText() const
    {
        return QString::fromUtf8(FileIO::readAll(data.filePath(QStringLiteral("config.json"))).value_or(QByteArray()));
    }

    bool microphoneAuthorized = true;
    TempDataFolder data;
    QTemporaryDir settingsDir;
    QSettings defaults;
    VirtualScheduler scheduler;
    FakeSecretStore secrets;
    FakeAccessibility accessibility;
    FakeWorkspace workspace;
    FakePermissions permissions;
    FakeClipboard clipboard;
    FakeInputSynth inputSynth;
    FakeSoundPlayer sounds;
    FakeAudioOutput audioOutput;
    FakeGlobalKeySource keySource;
    FakeHotKeyRegistrar hotKeys;
    FakeLocalKeyCapture localKeys;
    SyntheticKeyLedger ledger{scheduler.clock()};
    MainThreadScheduler networkScheduler;
    ScriptedHttpServer server{networkScheduler};
    QString localBase;
    FakeSpeechEngine* engine = nullptr;
    std::unique_ptr<AppState> state;
};

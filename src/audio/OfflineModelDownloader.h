#pragma once

#include "util/Scheduler.h"
#include "util/SerialQueue.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QFile;

// Fetches the full-precision SenseVoice model's release archive (trying a mirror when the first source
// fails), unpacks it and installs its folder in the Models folder. Lives on the main thread; reports go to
// the two callbacks on the main thread.
//
// The archive streams to a ".part" file, never into memory. It unpacks into a private staging folder with
// every entry checked (no absolute paths, no "..", nothing but plain files and folders); the model folder is
// swapped in by one rename only once it holds model.onnx and tokens.txt. A failed or cancelled download
// leaves the installed model as it was, and the recognizer never sees a half-written model.
class OfflineModelDownloader final : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Tried in order; the second is the first through a download proxy.
        QList<QUrl> sources = defaultSources();
        // Empty: senseVoiceModelsFolder().
        QString modelsFolder;
        // Progress is shown against this when the server sends no size; it also sizes the free-space check.
        qint64 expectedArchiveBytes = 886'000'000;
        qint64 maxArchiveBytes = 4LL << 30;
        qint64 maxUnpackedBytes = 6LL << 30;
        // Free bytes on the file system holding a folder; empty: ask the file system.
        std::function<std::optional<qint64>(const QString& folder)> availableBytes;
    };

    static QList<QUrl> defaultSources();

    explicit OfflineModelDownloader(Scheduler& scheduler, QObject* parent = nullptr);
    OfflineModelDownloader(Scheduler& scheduler, Options options, QObject* parent = nullptr);
    ~OfflineModelDownloader() override;

    // Starts from the first source unless a download or an unpack is under way.
    void startDownload();
    // Stops a running download or unpack and reports the cancellation once; a cancel with nothing running
    // is reported too, so every call is answered.
    void cancelDownload();
    bool isActive() const { return m_state != State::idle; }

    std::function<void(double fraction, const QString& message)> onProgress;
    std::function<void(bool success, const QString& message)> onCompletion;

    struct [[nodiscard]] UnpackResult {
        bool ok = false;
        bool cancelled = false;
        QString message;       // the failure report
        QString stagingFolder; // to install from (ok) or to remove
    };

    // Unpacks the archive behind the descriptor into a new staging folder inside modelsFolder, checking every
    // entry. On failure the staging folder is gone again. Runs on the unpack queue; public because it is the
    // one reader of a file from the network, and the fuzzing of archive entries calls it directly.
    static UnpackResult unpack(int archiveFd, const QString& modelsFolder, qint64 maxUnpackedBytes,
                               const std::atomic<bool>& cancelled);

private:
    enum class State { idle, downloading, unpacking };

    QString modelsFolder() const;
    QString partPath() const;
    void startFromCurrentMirror();
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);
    bool isCurrent(QNetworkReply* reply) const { return reply && reply == m_reply; }
    std::optional<int> failingStatus(QNetworkReply* reply) const;
    bool writeReceived(QNetworkReply* reply);
    void reportDownloadProgress();
    void armInactivityTimeout();
    void tryNextMirrorOrFail(const QString& error);
    void dropReply();
    void discardPartFile();
    // Ends the attempt and reports the failure.
    void giveUp(const QString& message);
    void startUnpacking();
    void onUnpacked(quint64 generation, UnpackResult result);
    QString installModelFolder(const QString& stagingFolder);
    void removeLater(const QString& path);
    void finish(bool success, const QString& message);
    void progress(double fraction, const QString& message);

    Scheduler& m_scheduler;
    Options m_options;
    QNetworkAccessManager m_network;
    State m_state = State::idle;
    quint64 m_generation = 0; // bumped by every start and cancel; late results of older ones are dropped
    int m_mirrorIndex = 0;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_partFile;
    qint64 m_received = 0;
    QString m_lastProgressMessage;
    ScheduledWork m_inactivityTimeout;
    ScheduledWork m_overallTimeout;
    std::shared_ptr<std::atomic<bool>> m_unpackCancelled;
    // Declared last: its destructor waits for the unpack job, which posts back to this object.
    SerialQueue m_unpackQueue;
};

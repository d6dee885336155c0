#include "audio/OfflineModelDownloader.h"

#include "audio/SenseVoiceModel.h"
#include "util/AppIdentity.h"
#include "util/FileIO.h"
#include "net/NetworkText.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

constexpr auto kReleaseUrl = "https://github.com/k2-fsa/sherpa-onnx/releases/download/asr-models/"
                             "sherpa-onnx-sense-voice-zh-en-ja-ko-yue-2025-09-09.tar.bz2";
// The download proxy takes the complete URL of the original after its root.
constexpr auto kProxyRoot = "https://ghfast.top/";

constexpr auto kPartFileName = "sensevoice-fp32-download.tar.bz2.part";

// A source that sends nothing for this long has failed; a download from one source may take at most an hour.
constexpr Duration kInactivityTimeout = std::chrono::seconds(30);
constexpr Duration kOverallTimeout = std::chrono::seconds(3600);
// What the network layer may hold before we write it out; it stops reading the socket beyond this.
constexpr qint64 kReadBufferBytes = 1 << 20;
constexpr double kBytesPerMB = 1048576.0;
// The download and the unpacked copy exist side by side until the archive is dropped.
constexpr qint64 kSpaceFactor = 2;

const QString kConnectingMessage = QStringLiteral("连接官方源…");
const QString kMirrorMessage = QStringLiteral("已切换加速镜像下载…");
const QString kNoSourceMessage = QStringLiteral("❌ 离线模型下载失败，请检查网络连接后重试");
const QString kFailedPrefix = QStringLiteral("❌ 离线模型下载失败：");
const QString kSaveFailed = QStringLiteral("❌ 保存模型压缩包失败");
const QString kUnpackingMessage = QStringLiteral("下载完成，正在解压 886MB 无损模型权重…");
const QString kInstalledProgress = QStringLiteral("离线满血底座安装完成");
const QString kInstalledMessage = QStringLiteral("✅ 本机 886MB SenseVoice FP32 离线满血底座已安装并激活");
const QString kCancelledMessage = QStringLiteral("已取消离线模型下载");

// The file system's own words follow ours, in brackets.
QString saveFailed(const QString& reason)
{
    return reason.isEmpty() ? kSaveFailed
                            : kSaveFailed + QStringLiteral("（") + reason + QStringLiteral("）");
}

QString megabytes(qint64 bytes)
{
    return QString::number(static_cast<qint64>(std::floor(static_cast<double>(bytes) / kBytesPerMB)));
}

QString notEnoughSpaceMessage(qint64 needed, qint64 available)
{
    return QStringLiteral("❌ 磁盘空间不足：离线模型需要约 %1 MB 可用空间，当前仅剩 %2 MB")
        .arg(megabytes(needed), megabytes(available));
}

std::optional<qint64> fileSystemAvailableBytes(const QString& folder)
{
    QStorageInfo storage(folder);
    if (!storage.isValid())
        return std::nullopt;
    return storage.bytesAvailable();
}

} // namespace

QList<QUrl> OfflineModelDownloader::defaultSources()
{
    const QString release = QString::fromLatin1(kReleaseUrl);
    return {QUrl(release), QUrl(QString::fromLatin1(kProxyRoot) + release)};
}

OfflineModelDownloader::OfflineModelDownloader(Scheduler& scheduler, QObject* parent)
    : OfflineModelDownloader(scheduler, Options(), parent)
{
}

OfflineModelDownloader::OfflineModelDownloader(Scheduler& scheduler, Options options, QObject* parent)
    : QObject(parent), m_scheduler(scheduler), m_options(std::move(options)),
      m_unpackQueue(AppIdentity::queueLabel(QStringLiteral("model.unpack")))
{
    if (!m_options.availableBytes)
        m_options.availableBytes = fileSystemAvailableBytes;
}

OfflineModelDownloader::~OfflineModelDownloader()
{
    ++m_generation;
    if (m_unpackCancelled)
        *m_unpackCancelled = true;
    dropReply();
    discardPartFile();
}

QString OfflineModelDownloader::modelsFolder() const
{
    return m_options.modelsFolder.isEmpty() ? senseVoiceModelsFolder() : m_options.modelsFolder;
}

QString OfflineModelDownloader::partPath() const
{
    return QDir(modelsFolder()).filePath(QString::fromLatin1(kPartFileName));
}

void OfflineModelDownloader::startDownload()
{
    if (m_state != State::idle)
        return;
    const QString folder = modelsFolder();
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        finish(false, kSaveFailed + QStringLiteral("：无法创建模型文件夹 ") + folder);
        return;
    }
    const qint64 needed = kSpaceFactor * m_options.expectedArchiveBytes;
    const std::optional<qint64> available = m_options.availableBytes(folder);
    if (available && *available < needed) {
        finish(false, notEnoughSpaceMessage(needed, *available));
        return;
    }
    ++m_generation;
    m_state = State::downloading;
    m_mirrorIndex = 0;
    startFromCurrentMirror();
}

void OfflineModelDownloader::startFromCurrentMirror()
{
    const QUrl url = m_mirrorIndex < m_options.sources.size() ? m_options.sources[m_mirrorIndex] : QUrl();
    if (!url.isValid() || url.isRelative()) {
        giveUp(kNoSourceMessage);
        return;
    }
    m_partFile = std::make_unique<QFile>(partPath());
    // Read and write: the unpack job reads the archive back through the same file.
    if (!m_partFile->open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        const QString reason = m_partFile->errorString();
        m_partFile.reset();
        giveUp(saveFailed(reason));
        return;
    }
    m_partFile->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_received = 0;
    m_lastProgressMessage.clear();

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Quorbell"));
    // Release downloads redirect to a storage host; never from HTTPS down to HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = m_network.get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    armInactivityTimeout();
    m_overallTimeout = ScheduledWork(&m_scheduler, m_scheduler.schedule(kOverallTimeout, [this] {
        if (m_state == State::downloading)
            tryNextMirrorOrFail(QStringLiteral("下载超时"));
    }));
    progress(0.01, m_mirrorIndex == 0 ? kConnectingMessage : kMirrorMessage);
}

void OfflineModelDownloader::armInactivityTimeout()
{
    m_inactivityTimeout = ScheduledWork(&m_scheduler, m_scheduler.schedule(kInactivityTimeout, [this] {
        if (m_state == State::downloading)
            tryNextMirrorOrFail(QStringLiteral("连接超时"));
    }));
}

std::optional<int> OfflineModelDownloader::failingStatus(QNetworkReply* reply) const
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    const int code = status.toInt();
    return code >= 200 && code <= 299 ? std::nullopt : std::optional<int>(code);
}

void OfflineModelDownloader::onReadyRead(QNetworkReply* reply)
{
    if (!isCurrent(reply) || m_state != State::downloading)
        return;
    armInactivityTimeout();
    if (const std::optional<int> status = failingStatus(reply)) {
        tryNextMirrorOrFail(QStringLiteral("HTTP %1").arg(*status));
        return;
    }
    if (!writeReceived(reply))
        return;
    reportDownloadProgress();
}

// Moves what the network layer holds into the part file. False when the download was given up.
bool OfflineModelDownloader::writeReceived(QNetworkReply* reply)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && m_received == 0) {
        const qint64 length = announced.toLongLong();
        if (length > m_options.maxArchiveBytes) {
            tryNextMirrorOrFail(QStringLiteral("压缩包大小异常（%1 MB）").arg(megabytes(length)));
            return false;
        }
        const std::optional<qint64> available = m_options.availableBytes(modelsFolder());
        if (available && *available < kSpaceFactor * length) {
            giveUp(notEnoughSpaceMessage(kSpaceFactor * length, *available));
            return false;
        }
    }
    while (reply->bytesAvailable() > 0) {
        const QByteArray data = reply->read(kReadBufferBytes);
        if (data.isEmpty())
            break;
        m_received += data.size();
        if (m_received > m_options.maxArchiveBytes) {
            tryNextMirrorOrFail(
                QStringLiteral("压缩包大小异常（超过 %1 MB）").arg(megabytes(m_options.maxArchiveBytes)));
            return false;
        }
        if (m_partFile->write(data) != data.size()) {
            giveUp(saveFailed(m_partFile->errorString()));
            return false;
        }
    }
    return true;
}

void OfflineModelDownloader::reportDownloadProgress()
{
    const QVariant announced = m_reply ? m_reply->header(QNetworkRequest::ContentLengthHeader) : QVariant();
    qint64 expected = announced.isValid() ? announced.toLongLong() : 0;
    if (expected < 1)
        expected = m_options.expectedArchiveBytes;
    const double fraction =
        std::clamp(static_cast<double>(m_received) / static_cast<double>(expected), 0.01, 0.95);
    const qint64 receivedMB = static_cast<qint64>(std::floor(static_cast<double>(m_received) / kBytesPerMB));
    const qint64 totalMB =
        std::max(receivedMB, static_cast<qint64>(std::floor(static_cast<double>(expected) / kBytesPerMB)));
    const QString message = QStringLiteral("正在下载离线满血包 %1 / %2 MB (%3%)")
                                .arg(receivedMB)
                                .arg(totalMB)
                                .arg(static_cast<int>(fraction * 100));
    // Reported only when the text changes: at most once per megabyte or percent.
    if (message == m_lastProgressMessage)
        return;
    m_lastProgressMessage = message;
    progress(fraction, message);
}

void OfflineModelDownloader::onFinished(QNetworkReply* reply)
{
    if (!isCurrent(reply) || m_state != State::downloading)
        return;
    if (const std::optional<int> status = failingStatus(reply)) {
        tryNextMirrorOrFail(QStringLiteral("HTTP %1").arg(*status));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        tryNextMirrorOrFail(NetworkText::failure(reply->error(), reply->errorString()));
        return;
    }
    if (!writeReceived(reply))
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() != m_received) {
        tryNextMirrorOrFail(QStringLiteral("下载不完整"));
        return;
    }
    if (!m_partFile->flush()) {
        giveUp(saveFailed(m_partFile->errorString()));
        return;
    }
    dropReply();
    startUnpacking();
}

void OfflineModelDownloader::tryNextMirrorOrFail(const QString& error)
{
    dropReply();
    discardPartFile();
    ++m_mirrorIndex;
    if (m_mirrorIndex < m_options.sources.size()) {
        startFromCurrentMirror();
        return;
    }
    giveUp(kFailedPrefix + error);
}

void OfflineModelDownloader::dropReply()
{
    m_inactivityTimeout.cancel();
    m_overallTimeout.cancel();
    if (QNetworkReply* reply = m_reply.data()) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void OfflineModelDownloader::discardPartFile()
{
    if (!m_partFile)
        return;
    m_partFile->close();
    m_partFile->remove();
    m_partFile.reset();
}

void OfflineModelDownloader::cancelDownload()
{
    // Every cancel is answered, also one that finds nothing running.
    if (m_state == State::idle) {
        finish(false, kCancelledMessage);
        return;
    }
    ++m_generation;
    if (m_unpackCancelled)
        *m_unpackCancelled = true;
    m_unpackCancelled.reset();
    giveUp(kCancelledMessage);
}

void OfflineModelDownloader::giveUp(const QString& message)
{
    dropReply();
    discardPartFile();
    m_state = State::idle;
    finish(false, message);
}

void OfflineModelDownloader::startUnpacking()
{
    // The unpack job reads the archive through its own descriptor; the name goes at once, so a cancelled job
    // and the next download never share a file.
    const int archiveFd = ::dup(m_partFile->handle());
    discardPartFile();
    if (archiveFd < 0) {
        m_state = State::idle;
        finish(false, saveFailed(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    m_state = State::unpacking;
    // Reported before the job can finish, so the report always precedes the outcome.
    progress(0.97, kUnpackingMessage);
    m_unpackCancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 generation = m_generation;
    const QString folder = modelsFolder();
    const qint64 maxBytes = m_options.maxUnpackedBytes;
    QPointer<OfflineModelDownloader> self(this);
    m_unpackQueue.async([self, generation, archiveFd, folder, maxBytes, cancelled = m_unpackCancelled] {
        UnpackResult result = unpack(archiveFd, folder, maxBytes, *cancelled);
        ::close(archiveFd);
        // Posted events die with the object, so a destroyed downloader gets no report.
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, result = std::move(result)]() mutable {
                if (self)
                    self->onUnpacked(generation, std::move(result));
            },
            Qt::QueuedConnection);
    });
}

void OfflineModelDownloader::onUnpacked(quint64 generation, UnpackResult result)
{
    if (generation != m_generation || m_state != State::unpacking) {
        // Cancelled meanwhile: the cancel was reported already, and nothing of this attempt is installed.
        if (!result.stagingFolder.isEmpty())
            removeLater(result.stagingFolder);
        return;
    }
    m_state = State::idle;
    m_unpackCancelled.reset();
    if (!result.ok) {
        finish(false, result.message);
        return;
    }
    const QString error = installModelFolder(result.stagingFolder);
    removeLater(result.stagingFolder);
    if (!error.isEmpty()) {
        finish(false, QStringLiteral("❌ 解压失败：") + error);
        return;
    }
    progress(1.0, kInstalledProgress);
    finish(true, kInstalledMessage);
}

void OfflineModelDownloader::removeLater(const QString& path)
{
    m_unpackQueue.async([path] { FileIO::removeTree(path); });
}

// Reports are delivered from the event loop, never from inside the call that caused them, so an owner may
// start or cancel from its callbacks; they die with the downloader.
void OfflineModelDownloader::finish(bool success, const QString& message)
{
    QMetaObject::invokeMethod(
        this,
        [this, success, message] {
            if (onCompletion)
                onCompletion(success, message);
        },
        Qt::QueuedConnection);
}

void OfflineModelDownloader::progress(double fraction, const QString& message)
{
    QMetaObject::invokeMethod(
        this,
        [this, fraction, message] {
            if (onProgress)
                onProgress(fraction, message);
        },
        Qt::QueuedConnection);
}

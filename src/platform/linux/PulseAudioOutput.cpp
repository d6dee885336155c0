#include "platform/linux/PulseAudioOutput.h"

#include <QDataStream>
#include <QIODevice>
#include <algorithm>
#include <cmath>
#include <pulse/pulseaudio.h>

namespace {

// Mute happens at the start of a dictation, on the main thread: a server that does not answer may hold it
// up for this long at most.
constexpr pa_usec_t kWaitLimitUsec = 1000 * PA_USEC_PER_MSEC;

bool isGoodState(pa_context_state_t state)
{
    return PA_CONTEXT_IS_GOOD(state);
}

} // namespace

PulseConnection::PulseConnection(QByteArray clientName)
    : m_clientName(std::move(clientName)), m_loop(pa_threaded_mainloop_new())
{
    if (m_loop && pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }
}

PulseConnection::~PulseConnection()
{
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop);
    m_stateHandler = nullptr;
    dropContext();
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

PulseConnection::Lock::Lock(PulseConnection& connection) : m_connection(connection)
{
    if (m_connection.m_loop)
        pa_threaded_mainloop_lock(m_connection.m_loop);
}

PulseConnection::Lock::~Lock()
{
    if (m_connection.m_loop)
        pa_threaded_mainloop_unlock(m_connection.m_loop);
}

void PulseConnection::setStateHandler(std::function<void(bool)> handler)
{
    m_stateHandler = std::move(handler);
}

void PulseConnection::signal()
{
    if (m_loop)
        pa_threaded_mainloop_signal(m_loop, 0);
}

bool PulseConnection::isReady() const
{
    return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

void PulseConnection::onContextState(pa_context* context, void* self)
{
    auto* connection = static_cast<PulseConnection*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (connection->m_stateHandler && context == connection->m_context) {
        if (state == PA_CONTEXT_READY)
            connection->m_stateHandler(true);
        else if (!isGoodState(state))
            connection->m_stateHandler(false);
    }
    connection->signal();
}

void PulseConnection::dropContext()
{
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

bool PulseConnection::startConnecting()
{
    if (!m_loop)
        return false;
    if (m_context && isGoodState(pa_context_get_state(m_context)))
        return true;
    dropContext(); // a failed or ended connection is not reused
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), m_clientName.constData());
    if (!m_context)
        return false;
    pa_context_set_state_callback(m_context, &PulseConnection::onContextState, this);
    // No autospawn: a desktop without a sound server simply has no sound.
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropContext();
        return false;
    }
    return true;
}

pa_context* PulseConnection::connectingContext()
{
    return startConnecting() ? m_context : nullptr;
}

pa_context* PulseConnection::readyContext()
{
    if (!startConnecting())
        return nullptr;
    waitUntil([this] { return !m_context || !isGoodState(pa_context_get_state(m_context)) || isReady(); });
    return isReady() ? m_context : nullptr;
}

bool PulseConnection::waitUntil(const std::function<bool()>& done)
{
    if (done())
        return true;
    struct Deadline {
        PulseConnection* connection;
        bool passed = false;
    } deadline{this};
    pa_context* context = m_context;
    pa_time_event* timer = pa_context_rttime_new(
        context, pa_rtclock_now() + kWaitLimitUsec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* d = static_cast<Deadline*>(data);
            d->passed = true;
            d->connection->signal();
        },
        &deadline);
    if (!timer)
        return false;
    while (!done() && !deadline.passed)
        pa_threaded_mainloop_wait(m_loop);
    pa_threaded_mainloop_get_api(m_loop)->time_free(timer);
    return done();
}

bool PulseConnection::await(pa_operation* operation)
{
    if (!operation)
        return false;
    const bool finished = waitUntil([&] {
        return pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
               !isGoodState(pa_context_get_state(m_context));
    });
    const bool done = finished && pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (!done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

// ---------------------------------------------------------------------------------------------------------

struct PulseAudioOutput::SinkState {
    bool muted = false;
    pa_cvolume volume{};
};

namespace {

struct SinkQuery {
    PulseConnection* connection;
    bool found = false;
    bool muted = false;
    pa_cvolume volume{};
};

struct SuccessQuery {
    PulseConnection* connection;
    bool succeeded = false;
};

void onSuccess(pa_context*, int success, void* data)
{
    auto* query = static_cast<SuccessQuery*>(data);
    query->succeeded = success != 0;
    query->connection->signal();
}

Status failed(const char* what)
{
    return Status::failure(QString::fromLatin1(what));
}

// A saved volume is the channel count and each channel's raw volume, as the server reported them.
QByteArray encodeVolume(const pa_cvolume& volume)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << quint8(volume.channels);
    for (int i = 0; i < volume.channels; ++i)
        stream << quint32(volume.values[i]);
    return bytes;
}

std::optional<pa_cvolume> decodeVolume(const QByteArray& bytes)
{
    QDataStream stream(bytes);
    quint8 channels = 0;
    stream >> channels;
    if (channels == 0 || channels > PA_CHANNELS_MAX)
        return std::nullopt;
    pa_cvolume volume{};
    volume.channels = channels;
    for (int i = 0; i < channels; ++i) {
        quint32 value = 0;
        stream >> value;
        volume.values[i] = value;
    }
    if (stream.status() != QDataStream::Ok || !stream.atEnd() || !pa_cvolume_valid(&volume))
        return std::nullopt;
    return volume;
}

} // namespace

PulseAudioOutput::PulseAudioOutput() : m_connection("Quorbell") {}

PulseAudioOutput::~PulseAudioOutput() = default;

std::optional<PulseAudioOutput::SinkState> PulseAudioOutput::readSink(pa_context* context,
                                                                      const QString& device)
{
    SinkQuery query{&m_connection};
    const QByteArray name = device.toUtf8();
    const bool done = m_connection.await(pa_context_get_sink_info_by_name(
        context, name.constData(),
        [](pa_context*, const pa_sink_info* info, int eol, void* data) {
            auto* q = static_cast<SinkQuery*>(data);
            if (info && eol == 0) {
                q->found = true;
                q->muted = info->mute != 0;
                q->volume = info->volume;
            }
            q->connection->signal();
        },
        &query));
    if (!done || !query.found)
        return std::nullopt;
    return SinkState{query.muted, query.volume};
}

std::optional<QString> PulseAudioOutput::defaultOutputDevice()
{
    PulseConnection::Lock lock(m_connection);
    pa_context* context = m_connection.readyContext();
    if (!context)
        return std::nullopt;
    struct Query {
        PulseConnection* connection;
        QString sink;
    } query{&m_connection, {}};
    const bool done = m_connection.await(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info && info->default_sink_name)
                q->sink = QString::fromUtf8(info->default_sink_name);
            q->connection->signal();
        },
        &query));
    if (!done || query.sink.isEmpty())
        return std::nullopt;
    return query.sink;
}

std::optional<PulseAudioOutput::SinkState> PulseAudioOutput::readSinkNow(const QString& device)
{
    PulseConnection::Lock lock(m_connection);
    pa_context* context = m_connection.readyContext();
    if (!context)
        return std::nullopt;
    return readSink(context, device);
}

Status PulseAudioOutput::applyVolume(pa_context* context, const QString& device, const pa_cvolume& volume)
{
    SuccessQuery query{&m_connection};
    const QByteArray name = device.toUtf8();
    if (!m_connection.await(
            pa_context_set_sink_volume_by_name(context, name.constData(), &volume, &onSuccess, &query)) ||
        !query.succeeded)
        return failed("the sound server refused the volume change");
    return Status::success();
}

std::optional<bool> PulseAudioOutput::isMuted(const QString& device)
{
    const std::optional<SinkState> sink = readSinkNow(device);
    if (!sink)
        return std::nullopt;
    return sink->muted;
}

Status PulseAudioOutput::setMuted(const QString& device, bool muted)
{
    PulseConnection::Lock lock(m_connection);
    pa_context* context = m_connection.readyContext();
    if (!context)
        return failed("the sound server cannot be reached");
    SuccessQuery query{&m_connection};
    const QByteArray name = device.toUtf8();
    if (!m_connection.await(
            pa_context_set_sink_mute_by_name(context, name.constData(), muted ? 1 : 0, &onSuccess, &query)) ||
        !query.succeeded)
        return failed("the sound server refused the mute change");
    return Status::success();
}

std::optional<float> PulseAudioOutput::volume(const QString& device)
{
    const std::optional<SinkState> sink = readSinkNow(device);
    if (!sink)
        return std::nullopt;
    // The loudest channel; a boost above 100 % counts as full volume.
    const double scalar = double(pa_cvolume_max(&sink->volume)) / double(PA_VOLUME_NORM);
    return float(std::clamp(scalar, 0.0, 1.0));
}

Status PulseAudioOutput::setVolume(const QString& device, float volume)
{
    PulseConnection::Lock lock(m_connection);
    pa_context* context = m_connection.readyContext();
    if (!context)
        return failed("the sound server cannot be reached");
    const std::optional<SinkState> sink = readSink(context, device);
    if (!sink)
        return failed("no such output device");
    const double clamped = std::clamp(double(std::isnan(volume) ? 0.0f : volume), 0.0, 1.0);
    pa_cvolume target{};
    pa_cvolume_set(&target, sink->volume.channels, pa_volume_t(std::lround(clamped * PA_VOLUME_NORM)));
    return applyVolume(context, device, target);
}

std::optional<SavedVolume> PulseAudioOutput::saveVolume(const QString& device)
{
    const std::optional<SinkState> sink = readSinkNow(device);
    if (!sink || !pa_cvolume_valid(&sink->volume))
        return std::nullopt;
    return SavedVolume{encodeVolume(sink->volume)};
}

Status PulseAudioOutput::restoreVolume(const QString& device, const SavedVolume& saved)
{
    const std::optional<pa_cvolume> volume = decodeVolume(saved.state);
    if (!volume)
        return failed("not a saved volume");
    PulseConnection::Lock lock(m_connection);
    pa_context* context = m_connection.readyContext();
    if (!context)
        return failed("the sound server cannot be reached");
    const std::optional<SinkState> sink = readSink(context, device);
    if (!sink)
        return failed("no such output device");
    if (sink->volume.channels != volume->channels)
        return failed("the saved volume does not fit the device");
    return applyVolume(context, device, *volume);
}

#include "platform/linux/PulseAudioCapture.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <pulse/pulseaudio.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// Every wait on the server, connecting included, ends by this limit, so a hung server cannot hang the caller.
constexpr auto kServerReplyTimeout = std::chrono::seconds(3);

// lastSeenRate before the first answer.
constexpr int kRateUnknown = -1;

Deadline deadlineFromNow()
{
    return std::chrono::steady_clock::now() + kServerReplyTimeout;
}

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

// What failed in our words, the sound server's own reason after it in brackets.
QString pulseError(pa_context* context, const QString& what)
{
    const int code = context ? pa_context_errno(context) : PA_ERR_UNKNOWN;
    return what + QStringLiteral("（") + QString::fromUtf8(pa_strerror(code)) + QStringLiteral("）");
}

const QString kNoAnswer = QStringLiteral("PulseAudio 声音服务没有应答");
const QString kCannotConnect = QStringLiteral("无法连接 PulseAudio 声音服务");
const QString kCannotRecord = QStringLiteral("无法打开麦克风录音");

} // namespace

struct PulseAudioCapture::Impl {
    // Everything below up to the atomics is touched only with the loop lock held (callbacks run with it).
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    BufferHandler handler;
    std::vector<float> pending;
    size_t pendingStart = 0;
    // Streams stopped from inside their own callbacks, released once outside them.
    std::vector<pa_stream*> retired;
    std::string defaultSource;
    int defaultRate = 0;
    // defaultSource and defaultRate hold an answer of this context's server.
    bool haveDefault = false;
    // Default-source lookups in flight (several may overlap, and one without a default source finishes
    // before an older one that asks about its source): the source asked about and its rate so far.
    struct Lookup {
        Impl* owner;
        quint64 sequence;
        std::string source;
        int rate = 0;
    };
    std::list<Lookup> lookups;
    quint64 lastAskedLookup = 0;

    int streamRate = 0; // the rate the stream was opened with

    std::atomic<bool> running = false;
    std::atomic<int> rate = 0;
    // The default source's rate as last seen: 0 for none, kRateUnknown before the first answer.
    std::atomic<int> lastSeenRate = kRateUnknown;

    // Waits for server replies; the callbacks bump these and notify.
    std::mutex waitMutex;
    std::condition_variable waitCondition;
    pa_context_state_t contextState = PA_CONTEXT_UNCONNECTED;
    pa_stream_state_t streamState = PA_STREAM_UNCONNECTED;
    // The newest lookup whose answer defaultSource holds (written with the loop lock held as well).
    quint64 lastTakenLookup = 0;

    std::mutex sourceChangedMutex;
    std::function<void()> sourceChanged;

    bool inLoopThread() const { return pa_threaded_mainloop_in_thread(loop); }

    template <typename Predicate> bool waitUntil(Deadline deadline, Predicate predicate)
    {
        std::unique_lock lock(waitMutex);
        return waitCondition.wait_until(lock, deadline, predicate);
    }

    template <typename Update> void signal(Update update)
    {
        {
            std::lock_guard lock(waitMutex);
            update();
        }
        waitCondition.notify_all();
    }

    void notifySourceChanged()
    {
        std::function<void()> handlerCopy;
        {
            std::lock_guard lock(sourceChangedMutex);
            handlerCopy = sourceChanged;
        }
        if (handlerCopy)
            handlerCopy();
    }

    // --- loop lock held ---

    // Starts connecting without waiting; onContextState carries on once the server answers.
    Status connectContext()
    {
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Quorbell");
        if (!context)
            return Status::failure(QStringLiteral("无法建立 PulseAudio 连接"));
        {
            std::lock_guard waitLock(waitMutex);
            contextState = PA_CONTEXT_UNCONNECTED;
        }
        pa_context_set_state_callback(context, &Impl::onContextState, this);
        pa_context_set_subscribe_callback(context, &Impl::onSubscription, this);
        // Never start a sound server of our own: no server means no microphone.
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            const QString error = pulseError(context, kCannotConnect);
            dropContext();
            lastSeenRate = 0;
            return Status::failure(error);
        }
        return Status::success();
    }

    void dropContext()
    {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
        forgetDefaultSource();
    }

    // The context's replies were cancelled with it: no lookup of it finishes any more.
    void forgetDefaultSource()
    {
        haveDefault = false;
        lookups.clear();
    }

    // The default source as the server's events keep it, when no event's lookup is still under way: then it
    // is as current as a fresh lookup, without the round trips.
    std::optional<std::pair<std::string, int>> currentDefaultSource() const
    {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY || !haveDefault || !lookups.empty())
            return std::nullopt;
        return std::make_pair(defaultSource, defaultRate);
    }

    // Ends the stream. From inside one of its callbacks (the buffer handler may call stop()) the stream is
    // only detached and the handler kept: both are released on the next call from outside.
    void stopStream(bool insideCallback)
    {
        running = false;
        rate = 0;
        pending.clear();
        pendingStart = 0;
        if (stream) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            if (insideCallback)
                retired.push_back(stream);
            else
                pa_stream_unref(stream);
            stream = nullptr;
        }
        if (!insideCallback) {
            handler = {};
            releaseRetired();
        }
    }

    void releaseRetired()
    {
        for (pa_stream* retiredStream : retired)
            pa_stream_unref(retiredStream);
        retired.clear();
    }

    // Asks for the default source's name and rate; the answer arrives in onServerInfo and onSourceInfo.
    // Returns the lookup's sequence number, 0 when the question could not be sent.
    quint64 refreshDefaultSource()
    {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
            return 0;
        Lookup& lookup = lookups.emplace_back(Lookup{this, ++lastAskedLookup, {}, 0});
        pa_operation* op = pa_context_get_server_info(context, &Impl::onServerInfo, &lookup);
        if (!op) {
            lookups.pop_back();
            return 0;
        }
        pa_operation_unref(op);
        return lookup.sequence;
    }

    void finishDefaultLookup(Lookup* lookup, std::string source, int sourceRate)
    {
        const quint64 sequence = lookup->sequence;
        lookups.remove_if([lookup](const Lookup& item) { return &item == lookup; });
        if (sequence < lastTakenLookup)
            return; // a newer answer is already in
        const bool changed = haveDefault && (source != defaultSource || sourceRate != defaultRate);
        lastSeenRate = source.empty() ? 0 : sourceRate;
        defaultSource = std::move(source);
        defaultRate = sourceRate;
        haveDefault = true;
        signal([this, sequence] { lastTakenLookup = sequence; });
        if (changed)
            notifySourceChanged();
    }

    static void onContextState(pa_context* c, void* userdata)
    {
        auto* d = static_cast<Impl*>(userdata);
        const pa_context_state_t state = pa_context_get_state(c);
        if (state == PA_CONTEXT_READY) {
            // Subscribed before the first lookup is asked: the server handles both in order, so from that
            // answer on every change of the default source arrives as an event.
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                                  PA_SUBSCRIPTION_MASK_SOURCE);
            if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr))
                pa_operation_unref(op);
            d->refreshDefaultSource();
        } else if (!PA_CONTEXT_IS_GOOD(state)) {
            // The server went away, or never answered: whatever source there was is gone.
            const bool hadDefault = d->haveDefault;
            d->forgetDefaultSource();
            d->lastSeenRate = 0;
            if (hadDefault)
                d->notifySourceChanged();
        }
        d->signal([d, state] { d->contextState = state; });
    }

    static void onSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t, void* userdata)
    {
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SOURCE)
            static_cast<Impl*>(userdata)->refreshDefaultSource();
    }

    static void onServerInfo(pa_context* c, const pa_server_info* info, void* userdata)
    {
        auto* lookup = static_cast<Lookup*>(userdata);
        const char* name = info ? info->default_source_name : nullptr;
        if (!name || !*name) {
            lookup->owner->finishDefaultLookup(lookup, {}, 0);
            return;
        }
        lookup->source = name;
        if (pa_operation* op = pa_context_get_source_info_by_name(c, name, &Impl::onSourceInfo, lookup))
            pa_operation_unref(op);
        else
            lookup->owner->finishDefaultLookup(lookup, {}, 0);
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata)
    {
        auto* lookup = static_cast<Lookup*>(userdata);
        if (eol == 0 && info) {
            lookup->rate = static_cast<int>(info->sample_spec.rate);
            return;
        }
        // End of the list, or an error such as a source that vanished meanwhile.
        std::string source = lookup->rate > 0 ? std::move(lookup->source) : std::string();
        lookup->owner->finishDefaultLookup(lookup, std::move(source), lookup->rate);
    }

    static void onStreamState(pa_stream* s, void* userdata)
    {
        auto* d = static_cast<Impl*>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (s == d->stream && state == PA_STREAM_READY) {
            // Before any buffer arrives, so a handler sees the capture running.
            d->rate = d->streamRate;
            d->running = true;
        }
        d->signal([d, state] { d->streamState = state; });
        if (s == d->stream && !PA_STREAM_IS_GOOD(state) && d->running) {
            // The source was removed (the stream may not move elsewhere): stop and let the owner restart.
            d->stopStream(true);
            d->notifySourceChanged();
        }
    }

    static void onStreamRead(pa_stream* s, size_t, void* userdata)
    {
        auto* d = static_cast<Impl*>(userdata);
        while (d->stream == s) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                return;
            if (data) { // null data is a hole in the stream: nothing was recorded there
                const auto* samples = static_cast<const float*>(data);
                d->pending.insert(d->pending.end(), samples, samples + bytes / sizeof(float));
            }
            pa_stream_drop(s);
            while (d->pending.size() - d->pendingStart >= static_cast<size_t>(kFramesPerBuffer)) {
                d->handler(std::span<const float>(d->pending.data() + d->pendingStart, kFramesPerBuffer));
                if (d->stream != s) // stopped from inside the handler
                    return;
                d->pendingStart += kFramesPerBuffer;
            }
            d->pending.erase(d->pending.begin(),
                             d->pending.begin() + static_cast<std::ptrdiff_t>(d->pendingStart));
            d->pendingStart = 0;
        }
    }

    // --- called without the loop lock, never on the loop thread ---

    Status ensureContext(Deadline deadline)
    {
        {
            LoopLock lock(loop);
            if (context) {
                const pa_context_state_t state = pa_context_get_state(context);
                if (state == PA_CONTEXT_READY)
                    return Status::success();
                if (!PA_CONTEXT_IS_GOOD(state))
                    dropContext();
            }
            // A context already connecting (the one the constructor started) is waited for, not replaced.
            if (!context) {
                if (Status connecting = connectContext(); !connecting)
                    return connecting;
            }
        }
        const bool settled = waitUntil(deadline, [this] {
            return contextState == PA_CONTEXT_READY || contextState == PA_CONTEXT_FAILED ||
                   contextState == PA_CONTEXT_TERMINATED;
        });
        LoopLock lock(loop);
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            return Status::success();
        const QString error = settled ? pulseError(context, kCannotConnect) : kNoAnswer;
        dropContext();
        lastSeenRate = 0;
        return Status::failure(error);
    }

    // The default source's name and rate, asked afresh; an empty name when there is none. Nullopt, and no
    // source as last seen, when the server does not answer in time.
    std::optional<std::pair<std::string, int>> lookupDefaultSource(Deadline deadline)
    {
        if (!ensureContext(deadline))
            return std::nullopt;
        quint64 sequence = 0;
        {
            LoopLock lock(loop);
            sequence = refreshDefaultSource();
        }
        if (sequence > 0 && waitUntil(deadline, [&] {
                return lastTakenLookup >= sequence || contextState == PA_CONTEXT_FAILED ||
                       contextState == PA_CONTEXT_TERMINATED;
            })) {
            LoopLock lock(loop);
            if (context && pa_context_get_state(context) == PA_CONTEXT_READY && haveDefault)
                return std::make_pair(defaultSource, defaultRate);
        }
        // The answer may still come and is taken then; until it does there is no microphone to speak of.
        lastSeenRate = 0;
        return std::nullopt;
    }
};

PulseAudioCapture::PulseAudioCapture() : d(std::make_unique<Impl>())
{
    d->loop = pa_threaded_mainloop_new();
    if (d->loop && pa_threaded_mainloop_start(d->loop) < 0) {
        pa_threaded_mainloop_free(d->loop);
        d->loop = nullptr;
    }
    if (!d->loop) {
        d->lastSeenRate = 0;
        return;
    }
    // Connected from the start and kept while idle: the first session's stream then needs no connect and
    // no lookup, and the source as last seen needs nobody to wait for it.
    LoopLock lock(d->loop);
    (void)d->connectContext(); // a failure shows as no source; every later call connects again
}

PulseAudioCapture::~PulseAudioCapture()
{
    if (!d->loop)
        return;
    {
        LoopLock lock(d->loop);
        d->stopStream(false);
        d->dropContext();
    }
    pa_threaded_mainloop_stop(d->loop);
    pa_threaded_mainloop_free(d->loop);
}

std::optional<int> PulseAudioCapture::defaultSourceSampleRate()
{
    // The loop thread cannot wait for its own replies.
    if (!d->loop || d->inLoopThread())
        return std::nullopt;
    const auto source = d->lookupDefaultSource(deadlineFromNow());
    if (!source || source->first.empty() || source->second <= 0)
        return std::nullopt;
    return source->second;
}

std::optional<int> PulseAudioCapture::lastSeenSourceSampleRate() const
{
    const int seen = d->lastSeenRate;
    if (seen == kRateUnknown)
        return std::nullopt;
    return seen;
}

Status PulseAudioCapture::start(BufferHandler handler)
{
    if (!d->loop)
        return Status::failure(QStringLiteral("PulseAudio 事件循环无法启动"));
    if (d->inLoopThread())
        return Status::failure(QStringLiteral("不能在录音线程里再次启动录音"));
    if (d->running)
        return Status::failure(QStringLiteral("麦克风已在录音"));
    const Deadline deadline = deadlineFromNow();
    if (Status connected = d->ensureContext(deadline); !connected)
        return connected;
    std::optional<std::pair<std::string, int>> source;
    {
        LoopLock lock(d->loop);
        source = d->currentDefaultSource();
    }
    if (!source)
        source = d->lookupDefaultSource(deadline);
    if (!source)
        return Status::failure(kNoAnswer);
    if (source->first.empty() || source->second <= 0)
        return Status::failure(QStringLiteral("没有可用的麦克风（声音服务没有默认输入设备）"));

    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_FLOAT32NE;
    sampleSpec.rate = static_cast<uint32_t>(source->second);
    sampleSpec.channels = 1;
    {
        LoopLock lock(d->loop);
        d->stopStream(false); // releases what a stop from inside the handler left behind
        if (!d->context || pa_context_get_state(d->context) != PA_CONTEXT_READY)
            return Status::failure(kNoAnswer); // the server went away meanwhile
        d->stream = pa_stream_new(d->context, "Quorbell microphone", &sampleSpec, nullptr);
        if (!d->stream)
            return Status::failure(pulseError(d->context, kCannotRecord));
        {
            std::lock_guard waitLock(d->waitMutex);
            d->streamState = PA_STREAM_UNCONNECTED;
        }
        d->handler = std::move(handler);
        d->streamRate = source->second;
        d->pending.clear();
        d->pending.reserve(4 * kFramesPerBuffer);
        d->pendingStart = 0;
        pa_stream_set_state_callback(d->stream, &Impl::onStreamState, d.get());
        pa_stream_set_read_callback(d->stream, &Impl::onStreamRead, d.get());
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(-1);
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(kFramesPerBuffer * sizeof(float));
        // Stay on this source: if it goes away the stream fails and the owner is told, rather than the stream
        // silently moving to a device of another rate.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(d->stream, source->first.c_str(), &attributes, flags) < 0) {
            const QString error = pulseError(d->context, kCannotRecord);
            d->stopStream(false);
            return Status::failure(error);
        }
    }
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    const bool settled = d->waitUntil(deadline, [this, &state] {
        state = d->streamState;
        return state == PA_STREAM_READY || state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
    });
    // Opened, even if the handler has already stopped it again.
    if (settled && state == PA_STREAM_READY)
        return Status::success();
    LoopLock lock(d->loop);
    const QString error =
        settled ? pulseError(d->context, kCannotRecord) : QStringLiteral("麦克风没有及时打开");
    d->stopStream(false);
    return Status::failure(error);
}

void PulseAudioCapture::stop()
{
    if (!d->loop)
        return;
    if (d->inLoopThread()) {
        d->stopStream(true);
        return;
    }
    LoopLock lock(d->loop);
    d->stopStream(false);
}

bool PulseAudioCapture::isRunning() const
{
    return d->running;
}

int PulseAudioCapture::sampleRate() const
{
    return d->rate;
}

void PulseAudioCapture::setSourceChangedHandler(std::function<void()> handler)
{
    std::lock_guard lock(d->sourceChangedMutex);
    d->sourceChanged = std::move(handler);
}

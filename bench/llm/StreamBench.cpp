#include "llm/ChatStreamReader.h"
#include "llm/PolishEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <benchmark/benchmark.h>
#include <chrono>

namespace {

// Real clock, but nothing ever falls due: the limits of the exchange stay out of the measurement.
class HeldScheduler final : public Scheduler {
public:
    const Clock& clock() const override { return m_clock; }
    TimerId schedule(Duration, std::function<void()>) override { return ++m_next; }
    TimerId scheduleRepeating(Duration, std::function<void()>) override { return ++m_next; }
    void cancel(TimerId) override {}

private:
    SystemClock m_clock;
    TimerId m_next = 0;
};

QByteArray dataLine(int i)
{
    return "data: "
           "{\"id\":\"c\",\"object\":\"chat.completion.chunk\",\"choices\":[{\"index\":0,\"delta\":{"
           "\"content\":\"第" +
           QByteArray::number(i) + "段\"},\"finish_reason\":null}]}\n\n";
}

QByteArray chunked(const QByteArray& data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

// A one-connection SSE server on loopback that writes what the benchmark tells it to, without Nagle delays.
class StreamServer {
public:
    StreamServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            m_socket = m_server.nextPendingConnection();
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(m_socket, &QTcpSocket::readyRead, [this] {
                m_request += m_socket->readAll();
                const qsizetype headerEnd = m_request.indexOf("\r\n\r\n");
                if (headerEnd < 0 || m_answered)
                    return;
                const qsizetype lengthAt = m_request.toLower().indexOf("content-length:");
                const qsizetype length =
                    m_request.mid(lengthAt + 15, m_request.indexOf('\r', lengthAt) - lengthAt - 15)
                        .trimmed()
                        .toLongLong();
                if (m_request.size() < headerEnd + 4 + length)
                    return;
                m_answered = true;
                m_socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: "
                                "chunked\r\n\r\n");
                m_socket->flush();
            });
        });
    }

    QString baseURL() const { return QStringLiteral("http://127.0.0.1:%1/v1").arg(m_server.serverPort()); }
    bool answered() const { return m_answered; }
    void send(const QByteArray& data)
    {
        m_socket->write(chunked(data));
        m_socket->flush();
    }
    void end()
    {
        m_socket->write(chunked("data: [DONE]\n\n") + "0\r\n\r\n");
        m_socket->flush();
    }

private:
    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;
    QByteArray m_request;
    bool m_answered = false;
};

template <typename Predicate> void spinUntil(Predicate done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Parsing alone: one complete data line in, one cleaned piece out.
void BM_StreamReader_DataLineToPiece(benchmark::State& state)
{
    ChatStreamReader reader(ChatStreamReader::Protocol::chatCompletions, true);
    const QByteArray line = dataLine(7);
    for (auto _ : state) {
        reader.append(line);
        benchmark::DoNotOptimize(reader.next());
    }
}
BENCHMARK(BM_StreamReader_DataLineToPiece);

// A data line written to the loopback socket until onStreamChunk runs: network stack, Qt's HTTP reader, the
// coroutine's resumption and the parsing.
void BM_Stream_DataLineArrivalToChunk(benchmark::State& state)
{
    HeldScheduler scheduler;
    PolishEngine engine(scheduler);
    StreamServer server;
    LLMConfig config = LLMConfig::defaults();
    config.selectedProvider = LLMProviderOption::custom;
    int delivered = 0;
    auto call = engine.callChatCompletionsSSE(server.baseURL(), QStringLiteral("bench"), QString(),
                                              QStringLiteral("sys"), QStringLiteral("hi"), 180, config,
                                              [&](const QString&, bool) { ++delivered; });
    spinUntil([&] { return server.answered(); });
    int i = 0;
    for (auto _ : state) {
        const int before = delivered;
        const auto start = std::chrono::steady_clock::now();
        server.send(dataLine(i++));
        spinUntil([&] { return delivered > before; });
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    server.end();
    spinUntil([&] { return call.isReady(); });
}
BENCHMARK(BM_Stream_DataLineArrivalToChunk)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// 1,000 data lines written as fast as the socket takes them, until the stream has ended.
void BM_Stream_ThousandChunks(benchmark::State& state)
{
    HeldScheduler scheduler;
    PolishEngine engine(scheduler);
    LLMConfig config = LLMConfig::defaults();
    config.selectedProvider = LLMProviderOption::custom;
    for (auto _ : state) {
        StreamServer server;
        int delivered = 0;
        auto call = engine.callChatCompletionsSSE(server.baseURL(), QStringLiteral("bench"), QString(),
                                                  QStringLiteral("sys"), QStringLiteral("hi"), 180, config,
                                                  [&](const QString&, bool) { ++delivered; });
        spinUntil([&] { return server.answered(); });
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1000; ++i)
            server.send(dataLine(i));
        server.end();
        spinUntil([&] { return call.isReady(); });
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (delivered != 1000)
            state.SkipWithError("not every chunk was delivered");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Stream_ThousandChunks)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

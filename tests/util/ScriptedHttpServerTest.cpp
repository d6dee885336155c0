#include "support/ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

// The network tests of every area lean on this server, so its framing is checked against Qt's own client.
TEST(ScriptedHttpServer, RecordsRequestsAndStreamsChunkedPieces)
{
    MainThreadScheduler scheduler;
    ScriptedHttpServer server(scheduler);
    ASSERT_TRUE(server.listen());
    server.enqueue(ScriptedHttpServer::Reply::sse({"data: {\"a\":1}\n\n", "data: [DONE]\n\n"}, 5ms));
    server.enqueue(ScriptedHttpServer::Reply::json(400, R"({"error":"bad"})"));

    QNetworkAccessManager manager;
    QNetworkRequest request(server.baseUrl().resolved(QUrl(QStringLiteral("/v1/chat/completions"))));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    QNetworkReply* first = manager.post(request, QByteArray(R"({"stream":true})"));
    QByteArray streamed;
    QObject::connect(first, &QNetworkReply::readyRead, [&] { streamed += first->readAll(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->isFinished(); }, 30000));
    EXPECT_EQ(streamed, QByteArray("data: {\"a\":1}\n\ndata: [DONE]\n\n"));

    QNetworkReply* second = manager.get(request);
    ASSERT_TRUE(QTest::qWaitFor([&] { return second->isFinished(); }, 30000));
    EXPECT_EQ(second->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
    EXPECT_EQ(second->readAll(), QByteArray(R"({"error":"bad"})"));

    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[0].method, QByteArray("POST"));
    EXPECT_EQ(server.requests()[0].path, QByteArray("/v1/chat/completions"));
    EXPECT_EQ(server.requests()[0].body, QByteArray(R"({"stream":true})"));
    EXPECT_EQ(server.requests()[0].header("Content-Type"), QByteArray("application/json"));
    first->deleteLater();
    second->deleteLater();
}

#pragma once

#include "support/ScriptedHttpServer.h"

#include <QList>
#include <QString>

// Replies of a transcription service that carry no transcript, each with the reason the app gives for it.
// Relays and captive portals answer errors with status 200, so most of these are a 200.
struct TranscriptionNonAnswer {
    ScriptedHttpServer::Reply reply;
    QString reason;
};

inline QList<TranscriptionNonAnswer> transcriptionNonAnswers()
{
    using Reply = ScriptedHttpServer::Reply;
    Reply page;
    page.headers = {{"Content-Type", "text/html"}};
    page.pieces = {{"<html><head><title>Hotel Wi-Fi Login</title></head><body>Accept</body></html>", {}}};
    // 4 KB of noise, as a proxy's binary error or a wrong route sends it: no UTF-8 text.
    QByteArray noise(4096, '\0');
    quint32 seed = 43;
    for (char& byte : noise) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(0x80 | (seed >> 24));
    }
    Reply binary;
    binary.headers = {{"Content-Type", "application/octet-stream"}};
    binary.pieces = {{noise, {}}};
    Reply dropped;
    dropped.dropWithoutReply = true;
    return {
        {Reply::json(
             200, R"({"error":{"message":"You exceeded your current quota","type":"insufficient_quota"}})"),
         QStringLiteral("语音接口没有返回转写文本（You exceeded your current quota）")},
        {Reply::json(200, "{}"), QStringLiteral("语音接口没有返回转写文本（{}）")},
        {Reply::json(200, R"({"text":12345})"),
         QStringLiteral(R"(语音接口没有返回转写文本（{"text":12345}）)")},
        {page, QStringLiteral("语音接口返回了网页而不是转写结果（Hotel Wi-Fi Login）")},
        {binary, QStringLiteral("语音接口返回了 4096 字节无法识别的数据，不是转写文本")},
        {dropped, QStringLiteral("服务器中途断开了连接（Connection closed）")},
    };
}

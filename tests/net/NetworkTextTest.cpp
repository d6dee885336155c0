#include "net/NetworkText.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

QJsonObject object(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

// Our words first, the library's only after them in brackets, never alone.
TEST(NetworkText, FailuresLeadWithChineseAndKeepTheLibraryReasonInBrackets)
{
    EXPECT_EQ(NetworkText::failure(QNetworkReply::RemoteHostClosedError, QStringLiteral("Connection closed")),
              QStringLiteral("服务器中途断开了连接（Connection closed）"));
    EXPECT_EQ(NetworkText::failure(QNetworkReply::UnknownNetworkError, QStringLiteral("Unknown error")),
              QStringLiteral("网络请求失败（Unknown error）"));
    EXPECT_EQ(NetworkText::failure(QNetworkReply::OperationCanceledError, QString()),
              QStringLiteral("请求已取消"));
    // What happened, not only that it did not work.
    EXPECT_EQ(NetworkText::socketFailure(QAbstractSocket::ConnectionRefusedError,
                                         QStringLiteral("Connection refused")),
              QStringLiteral("连接被拒绝，无法连接到服务器（Connection refused）"));
    EXPECT_EQ(
        NetworkText::socketFailure(QAbstractSocket::HostNotFoundError, QStringLiteral("Host not found")),
        QStringLiteral("找不到服务器，主机名无法解析，请检查网络（Host not found）"));
    EXPECT_EQ(
        NetworkText::failure(QNetworkReply::ConnectionRefusedError, QStringLiteral("Connection refused")),
        QStringLiteral("连接被拒绝，无法连接到服务器（Connection refused）"));
    EXPECT_EQ(NetworkText::socketFailure(QAbstractSocket::UnknownSocketError, QStringLiteral(" \n")),
              QStringLiteral("连接失败"));
}

TEST(NetworkText, SaysWhatABodyHeld)
{
    EXPECT_EQ(NetworkText::errorMessage(object(R"({"error":{"message":" quota "},"message":"x"})")),
              std::optional<QString>(QStringLiteral("quota")));
    EXPECT_EQ(NetworkText::errorMessage(object(R"({"error":"bad gateway"})")),
              std::optional<QString>(QStringLiteral("bad gateway")));
    EXPECT_EQ(NetworkText::errorMessage(object(R"({"message":"slow down"})")),
              std::optional<QString>(QStringLiteral("slow down")));
    EXPECT_FALSE(NetworkText::errorMessage(object(R"({"error":{"message":""},"text":1})")).has_value());

    EXPECT_TRUE(NetworkText::isHtml("\n <!DOCTYPE HTML><html>"));
    EXPECT_TRUE(NetworkText::isHtml("\xEF\xBB\xBF <html lang=\"zh\"><body>x</body></html>"));
    EXPECT_TRUE(NetworkText::isHtml("<html>"));
    EXPECT_FALSE(NetworkText::isHtml("<raw_speech>你好</raw_speech>"));
    EXPECT_FALSE(NetworkText::isHtml("<htmlparser> 是一个词")) << "a word, not the element";
    EXPECT_FALSE(NetworkText::isHtml("请把 <html> 删掉")) << "a transcript that mentions a tag further on";
    // A fragment of a page is a page: it opens with "<!" or an element.
    for (const char* fragment : {"<head><title>Portal login</title></head><body><form>", "<body><h1>403</h1>",
                                 " <H1 class=\"x\">Forbidden</H1>", "<!-- proxy -->", "<br/>", "<p>"})
        EXPECT_TRUE(NetworkText::isHtml(fragment)) << fragment;
    for (const char* text : {"<3 你好", "<headline> 是一个词", "< body", "<>", "<", "<blink>"})
        EXPECT_FALSE(NetworkText::isHtml(text)) << text;

    EXPECT_EQ(NetworkText::summary(R"({"error":{"message":"You exceeded your current quota"}})"),
              QStringLiteral("You exceeded your current quota"));
    EXPECT_EQ(NetworkText::summary("<html><head><title>\n Hotel\n Login </title></head></html>"),
              QStringLiteral("Hotel Login"));
    EXPECT_EQ(NetworkText::summary("  a\n\nb  " + QByteArray(300, 'c'), 5), QStringLiteral("a b c"));
    // A page without a title: what it says, without markup, scripts or styles, cut where long.
    EXPECT_EQ(
        NetworkText::summary("<body><style>h1{color:red}</style><h1>403 Forbidden</h1><script>x()</script>"
                             "<p>Tom &amp; Jerry&nbsp;only</p></body>"),
        QStringLiteral("403 Forbidden Tom & Jerry only"));
    EXPECT_EQ(NetworkText::summary("<div>" + QByteArray(300, 'w') + "</div>", 5), QStringLiteral("wwww…"));
    EXPECT_EQ(NetworkText::summary(QByteArray("\xff\xfe", 2)), QString()) << "not UTF-8";
    EXPECT_EQ(NetworkText::summary(""), QString());
}

// What reaches the banner, a card or the pill from outside is one line of bounded length.
TEST(NetworkText, OutsideTextBecomesOneBoundedLine)
{
    EXPECT_EQ(NetworkText::oneLine(QStringLiteral(" quota exceeded ")), QStringLiteral("quota exceeded"));
    EXPECT_EQ(NetworkText::oneLine(QStringLiteral("line one\r\n\tline two")),
              QStringLiteral("line one line two"));
    QString page = QStringLiteral("<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body>");
    for (int i = 0; i < 100; ++i)
        page += QStringLiteral("<p>upstream unavailable</p>\n");
    EXPECT_EQ(NetworkText::oneLine(page), QStringLiteral("502 Bad Gateway")) << "a page is its title";
    const QString long5k = QString(5000, u'字');
    const QString cut = NetworkText::oneLine(long5k);
    EXPECT_EQ(cut, QString(NetworkText::kOneLineChars, u'字') + QStringLiteral("…"));
    EXPECT_EQ(NetworkText::oneLine(QStringLiteral("👨‍👩‍👧") + long5k, 2),
              QStringLiteral("👨‍👩‍👧字…"))
        << "cut between characters, never inside one";
    EXPECT_EQ(NetworkText::oneLine(QStringLiteral("{\"error\":{\"message\":\"quota\\n exceeded\"}}")),
              QStringLiteral("quota exceeded"))
        << "a JSON error's message, on one line";
    EXPECT_EQ(NetworkText::oneLine(QString()), QString());
}

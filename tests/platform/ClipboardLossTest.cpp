#include "platform/linux/X11ClipboardReader.h"

#include <gtest/gtest.h>

namespace {

QString reason(const QStringList& kept, const QStringList& leftOut)
{
    QList<ClipboardFormat> formats;
    for (const QString& type : kept)
        formats.append({type, QByteArray("x")});
    return X11ClipboardReader::lostContentsReason(formats, leftOut);
}

} // namespace

// A snapshot that is not whole says what the user lost, in the user's words, and nothing about another
// encoding of what came back.
TEST(ClipboardLoss, OnlyContentsOfWhichNothingCameBackAreNamed)
{
    // A GTK owner's 50 MB: the text came back, its second encoding did not fit.
    EXPECT_EQ(reason({QStringLiteral("text/plain")}, {QStringLiteral("text/plain;charset=utf-8")}),
              QString());
    // An image kept in one file type is the image.
    EXPECT_EQ(reason({QStringLiteral("text/plain"), QStringLiteral("image/png")},
                     {QStringLiteral("image/bmp"), QStringLiteral("image/tiff")}),
              QString());
    EXPECT_EQ(
        reason({QStringLiteral("text/plain")}, {QStringLiteral("image/png"), QStringLiteral("image/bmp")}),
        QStringLiteral("未能读取其中的图片"));
    EXPECT_EQ(reason({}, {QStringLiteral("text/plain"), QStringLiteral("TEXT/HTML"),
                          QStringLiteral("application/x-one"), QStringLiteral("text/uri-list"),
                          QStringLiteral("application/x-two")}),
              QStringLiteral("未能读取其中的文本、带格式的文本、其他内容、文件"));
    // Two private formats are two applications' data: one kept does not stand for the other.
    EXPECT_EQ(reason({QStringLiteral("application/x-one")}, {QStringLiteral("application/x-two")}),
              QStringLiteral("未能读取其中的其他内容"));
    EXPECT_EQ(reason({QStringLiteral("text/plain")}, {}), QString());
}

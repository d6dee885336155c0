#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

// Rules shared by every client that sends a key to a service.
namespace Endpoint {

// A service on this machine needs no key: the authorisation header is sent only when a key is present.
inline bool isKeylessLocal(const QString& baseURL)
{
    const QString lower = baseURL.toLower();
    return lower.contains(u"localhost") || lower.contains(u"127.0.0.1") || lower.contains(u"0.0.0.0");
}

// A value with a control character or a line break would split or forge an HTTP header.
inline bool isHeaderSafe(QStringView value)
{
    for (QChar c : value) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            return false;
    }
    return true;
}

// Only absolute http(s) addresses with a host are sent to.
inline bool isHttpUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

// `text` without the slashes at either end.
inline QString trimmedOfSlashes(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u'/')
        ++begin;
    while (end > begin && text[end - 1] == u'/')
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace Endpoint

#pragma once

#include <QByteArray>
#include <QtEndian>

// The samples of the WAV file inside a multipart upload (-1 when there is none); its rate in `sampleRate`.
inline int wavSampleCount(const QByteArray& body, quint32* sampleRate)
{
    const qsizetype riff = body.indexOf("RIFF");
    if (riff < 0 || body.size() < riff + 44)
        return -1;
    *sampleRate = qFromLittleEndian<quint32>(body.constData() + riff + 24);
    return static_cast<int>(qFromLittleEndian<quint32>(body.constData() + riff + 40) / 2);
}

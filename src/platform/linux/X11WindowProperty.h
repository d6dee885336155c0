#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <optional>

typedef struct _XDisplay Display;

// One property of a window as the X server holds it, for the EWMH backends that read the window manager's
// and the clients' properties.
struct X11WindowProperty {
    // Longest value read, in 32-bit units: titles, class names and atom lists are far shorter.
    static constexpr long kMaxLongs = 16 * 1024;

    unsigned long type = 0; // an atom
    int format = 0;         // bits per item: 8, 16 or 32
    QByteArray bytes;       // 32-bit items arrive as longs
    unsigned long items = 0;

    // Nothing when the window has no such property, or went away while it was read (the error then stays on
    // the connection for its owner to take).
    static std::optional<X11WindowProperty> read(Display* display, unsigned long window, unsigned long name,
                                                 long maxLongs = kMaxLongs);

    QString utf8() const { return format == 8 ? QString::fromUtf8(bytes) : QString(); }
    // The 32-bit items; empty for another format.
    QVector<unsigned long> longs() const;
    std::optional<unsigned long> firstLong() const;
};

#include "platform/linux/X11WindowProperty.h"

#include "platform/linux/XlibIncludes.h"

std::optional<X11WindowProperty> X11WindowProperty::read(Display* display, unsigned long window,
                                                         unsigned long name, long maxLongs)
{
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, bytesAfter = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, maxLongs, False, AnyPropertyType, &type, &format, &items,
                           &bytesAfter, &data) != Success)
        return std::nullopt;
    std::optional<X11WindowProperty> result;
    if (type != kXNone && data) {
        const qsizetype unit = format == 8 ? 1 : format == 16 ? sizeof(short) : sizeof(long);
        result = X11WindowProperty{
            type, format,
            QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(items) * unit), items};
    }
    if (data)
        XFree(data);
    return result;
}

QVector<unsigned long> X11WindowProperty::longs() const
{
    if (format != 32)
        return {};
    const auto* first = reinterpret_cast<const unsigned long*>(bytes.constData());
    return QVector<unsigned long>(first, first + items);
}

std::optional<unsigned long> X11WindowProperty::firstLong() const
{
    if (format != 32 || items == 0)
        return std::nullopt;
    return reinterpret_cast<const unsigned long*>(bytes.constData())[0];
}

#pragma once

#include "platform/Clipboard.h"

#include <ostream>

// Format names, sizes and checksums, for readable failures.
inline void PrintTo(const ClipboardSnapshot& snapshot, std::ostream* os)
{
    for (const ClipboardFormat& format : snapshot.formats)
        *os << "\n  " << format.mimeType.toStdString() << " (" << format.data.size() << " bytes, "
            << qChecksum(format.data) << ")";
}

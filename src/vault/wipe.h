#pragma once

#include <QByteArray>
#include <QString>
#include <sodium.h>

// Keeping passwords out of memory the program is done with. Header-only
// and free of widgets: the store, the report and the import and export
// wipe with it as the windows do.
namespace Secrets {

// Zeroes the text's buffer, then empties the text. A buffer that another
// string still shares, or that is not the text's own (a literal, raw data),
// is only let go: zeroing it would change what the other holder reads, and
// data() would merely detach a copy to zero. Callers drop the other holders
// first, so that the wipe reaches the real buffer.
inline void wipe(QString& text)
{
    if (text.isDetached())
        sodium_memzero(text.data(), static_cast<size_t>(text.capacity()) * sizeof(QChar));
    text.clear();
}

inline void wipe(QByteArray& bytes)
{
    if (bytes.isDetached())
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.capacity()));
    bytes.clear();
}

}  // namespace Secrets

#pragma once

#include <QByteArray>
#include <QString>
#include <sodium.h>

// Keeping passwords out of memory the program is done with. Header-only
// and free of widgets: the store, the report and the import and export
// wipe with it as the windows do.
namespace Secrets {

// Qt 6 keeps room before data() once a text was edited at its front, for
// the next prepend: capacity() counts it too, and it may still hold what was
// typed. Arithmetic on data() must leave it out; wiping must reach it.

// What the text can grow into at its end without moving.
template <typename Text> qsizetype roomFromData(Text& text)
{
    return text.capacity() - text.data_ptr().freeSpaceAtBegin();
}

// Zeroes the text's own allocation from its start, through `used` units
// past data() or, by default, all of it. Only for a text that owns it alone.
template <typename Text> void zeroAllocation(Text& text, qsizetype used = -1)
{
    auto& d = text.data_ptr();
    const qsizetype before = d.freeSpaceAtBegin();
    const qsizetype units = used < 0 ? text.capacity() : before + used;
    sodium_memzero(d.data() - before, static_cast<size_t>(units) * sizeof(*d.data()));
}

// Zeroes the text's buffer, then empties the text. A buffer that another
// string still shares, or that is not the text's own (a literal, raw data),
// is only let go: zeroing it would change what the other holder reads, and
// data() would merely detach a copy to zero. Callers drop the other holders
// first, so that the wipe reaches the real buffer.
inline void wipe(QString& text)
{
    if (text.isDetached())
        zeroAllocation(text);
    text.clear();
}

inline void wipe(QByteArray& bytes)
{
    if (bytes.isDetached())
        zeroAllocation(bytes);
    bytes.clear();
}

}  // namespace Secrets

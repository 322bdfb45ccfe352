#pragma once

#include <QList>
#include <QString>

class QLineEdit;

// The boxes count their limits in UTF-16 units, as Qt does, so cutting at a
// limit or pasting odd clipboard text can leave half of a character; UTF-8
// has no form for such a half and the store would turn it into "?".
namespace TextLimit {

// Positions of the halves of surrogate pairs that have no partner, last
// first. A high half at `waiting` is passed over: its partner may follow.
QList<qsizetype> loneHalves(QStringView text, qsizetype waiting = -1);

// Where `now` is `before` with one unit more, that unit's position; else -1.
qsizetype insertedUnit(QStringView before, QStringView now);

// The text without the halves of surrogate pairs that have no partner.
QString wholeCharacters(QString text);

// Keeps `box` to whole characters, whatever its maxLength cuts off or a paste
// brings in. A high half inserted on its own, with room after it, waits for
// its partner until the next change or the end of editing.
void keepWhole(QLineEdit* box);

}  // namespace TextLimit

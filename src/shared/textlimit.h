#pragma once

#include <QList>
#include <QString>
#include <functional>

class QLineEdit;
class QPlainTextEdit;

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

// Holds a multi-line box to `limit` units of whole characters: what typing,
// an input method or a paste brings in past the limit is cut from its own
// tail, in the same undo step, and what was there before stays. Text put in
// while `filling()` is true is kept whole.
void limitLength(QPlainTextEdit* box, int limit, std::function<bool()> filling);

}  // namespace TextLimit

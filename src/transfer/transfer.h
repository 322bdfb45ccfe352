#pragma once

#include <QString>
#include <utility>

// What the import and export share: the error for input that cannot be
// taken in, and how the hint travels inside the notes of formats that have
// no field for it.
namespace Transfer {

// Jet's "External table isn't in the expected format."
inline constexpr int InputFormatError = 3274;
inline const QString ErrorSourceImport = QStringLiteral("Import");

// Raises the one error value for input that cannot be taken in as a whole.
// `line` 0 names the file rather than one of its lines.
[[noreturn]] void raiseInputError(qsizetype line, const QString& reason);

// The hint goes at the end of the notes, after a blank line, as
// "Hint: " + hint. It is written even when empty if the notes alone would
// read as carrying a hint, so splitHint gives back both exactly unless the
// hint itself holds the marker.
QString notesWithHint(const QString& notes, const QString& hint);
// Notes and hint out of text written by notesWithHint; text without the
// marker is all notes.
std::pair<QString, QString> splitHint(const QString& text);

}  // namespace Transfer

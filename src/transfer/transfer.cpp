#include "transfer/transfer.h"

#include "vault/apperror.h"

namespace Transfer {

namespace {
const QString HintMarker = QStringLiteral("\n\nHint: ");
const QString HintLead = QStringLiteral("Hint: ");

bool readsAsHint(const QString& notes)
{
    return notes.startsWith(HintLead) || notes.contains(HintMarker);
}
}  // namespace

void raiseInputError(qsizetype line, const QString& reason)
{
    const QString where = line > 0 ? QStringLiteral("line %1: ").arg(line) : QString();
    throw AppError(InputFormatError, where + reason, ErrorSourceImport);
}

QString notesWithHint(const QString& notes, const QString& hint)
{
    if (hint.isEmpty() && !readsAsHint(notes))
        return notes;
    return notes + (notes.isEmpty() ? HintLead : HintMarker) + hint;
}

std::pair<QString, QString> splitHint(const QString& text)
{
    const qsizetype at = text.lastIndexOf(HintMarker);
    if (at >= 0)
        return {text.left(at), text.mid(at + HintMarker.size())};
    if (text.startsWith(HintLead))
        return {QString(), text.mid(HintLead.size())};
    return {text, QString()};
}

}  // namespace Transfer

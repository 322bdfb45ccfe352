#include "vault/masterrule.h"

namespace MasterRule {

namespace {

// Half a character has no form in the store and cannot be typed again at
// the prompt, so it is no part of the password.
QString wholeCharacters(QString text)
{
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const QChar c = text.at(i);
        const bool paired = c.isHighSurrogate() ? i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
            : c.isLowSurrogate()                ? i > 0 && text.at(i - 1).isHighSurrogate()
                                                : true;
        if (!paired)
            text.remove(i, 1);
    }
    return text;
}

}  // namespace

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<QString> accept(const QString& first, const QString& second)
{
    const QString whole = wholeCharacters(first);
    const QString master = trimSpaces(whole);
    // The match is exact, spaces and letter case included.
    if (master.size() < MinLength || whole != wholeCharacters(second))
        return std::nullopt;
    return master;
}

}  // namespace MasterRule

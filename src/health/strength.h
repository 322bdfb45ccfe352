#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Health {

// zxcvbn's estimate of a password: how many guesses it would take, as a
// power of ten, and the score 0 to 4 its thresholds give (under 10^3, 10^6,
// 10^8, 10^10 guesses: 0, 1, 2, 3; else 4).
struct Strength {
    int score = 0;
    double guessesLog10 = 0;
};

inline constexpr int WeakBelowScore = 3;

int scoreFor(double guessesLog10);
// `userWords` are the words the owner is known to use (the account's name,
// username, host); a password built on them counts as weaker.
Strength estimateStrength(const QByteArray& utf8Password, const QStringList& userWords = {});
// The account's name, its username (and its part before an "@"), the URL's
// host and the host's own names but "www" and the last: lower case.
QStringList userWordsOf(const QString& name, const QString& username, const QString& url);

}  // namespace Health

#include "health/strength.h"

#include <QUrl>
#include <cmath>
#include <vector>
#include <zxcvbn.h>

namespace Health {

int scoreFor(double guessesLog10)
{
    static constexpr double Thresholds[] = {3, 6, 8, 10};
    int score = 0;
    while (score < 4 && guessesLog10 >= Thresholds[score])
        ++score;
    return score;
}

Strength estimateStrength(const QByteArray& utf8Password, const QStringList& userWords)
{
    std::vector<QByteArray> words;
    words.reserve(size_t(userWords.size()));
    std::vector<const char*> dictionary;
    for (const QString& word : userWords) {
        words.push_back(word.toUtf8());
        dictionary.push_back(words.back().constData());
    }
    dictionary.push_back(nullptr);
    // zxcvbn gives bits: guesses = 2^bits.
    const double bits = ZxcvbnMatch(utf8Password.constData(), dictionary.data(), nullptr);
    Strength strength;
    strength.guessesLog10 = bits * std::log10(2.0);
    strength.score = scoreFor(strength.guessesLog10);
    return strength;
}

QStringList userWordsOf(const QString& name, const QString& username, const QString& url)
{
    QStringList words;
    const auto add = [&words](const QString& word) {
        const QString lower = word.trimmed().toLower();
        if (lower.size() >= 3 && !words.contains(lower))
            words << lower;
    };
    add(name);
    add(username);
    if (const qsizetype at = username.indexOf(QLatin1Char('@')); at > 0)
        add(username.left(at));
    const QString host = QUrl(url.contains(QLatin1String("://")) ? url : QStringLiteral("http://") + url).host();
    add(host);
    QStringList labels = host.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (labels.size() > 1)
        labels.removeLast();
    for (const QString& label : labels)
        if (label != QLatin1String("www"))
            add(label);
    return words;
}

}  // namespace Health

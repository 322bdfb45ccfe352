#include "health/generator.h"

#include "health/strength.h"
#include "health/wordlist.h"
#include "vault/stringcipher.h"
#include "vault/wipe.h"

#include <QList>
#include <cmath>
#include <sodium.h>

namespace Health::Generator {

namespace {

// Under this many bits a draw is rated as well, and drawn again when
// zxcvbn would guess it in under 10^10 tries (a short draw can be a word
// or a keyboard row). Above it such a draw is out of reach, and the
// estimate costs more than the draw.
constexpr double RatedBelowBits = 100;

QList<QString> classesOf(bool symbols)
{
    QList<QString> classes = {Upper, Lower, Digits};
    if (symbols)
        classes << Symbols;
    return classes;
}

bool hasEach(const QString& text, const QList<QString>& classes)
{
    for (const QString& chars : classes) {
        bool found = false;
        for (QChar c : text)
            found = found || chars.contains(c);
        if (!found)
            return false;
    }
    return true;
}

bool ratedStrong(const QString& drawn)
{
    QByteArray utf8 = drawn.toUtf8();
    const bool strong = estimateStrength(utf8).score == 4;
    Secrets::wipe(utf8);
    return strong;
}

}  // namespace

QString password(int length, bool symbols)
{
    requireSodium();
    const QList<QString> classes = classesOf(symbols);
    const QString alphabet = classes.join(QString());
    const bool rate = passwordBits(length, symbols) < RatedBelowBits;
    QString drawn(length, Qt::Uninitialized);
    // Drawing again until every class is there keeps each password that
    // has them all equally likely.
    while (true) {
        for (int i = 0; i < length; ++i)
            drawn[i] = alphabet[qsizetype(randombytes_uniform(quint32(alphabet.size())))];
        if (hasEach(drawn, classes) && (!rate || ratedStrong(drawn)))
            return drawn;
    }
}

QString passphrase(int words, const QString& separator)
{
    requireSodium();
    const bool rate = passphraseBits(words) < RatedBelowBits;
    QString drawn;
    while (true) {
        Secrets::wipe(drawn);
        drawn.reserve(words * 10 + (words - 1) * separator.size());
        for (int i = 0; i < words; ++i) {
            if (i > 0)
                drawn += separator;
            drawn += QLatin1String(EffWords[randombytes_uniform(quint32(EffWordCount))]);
        }
        if (!rate || ratedStrong(drawn))
            return drawn;
    }
}

double passwordBits(int length, bool symbols)
{
    // Strings with every class, by inclusion and exclusion over the classes
    // left out.
    const QList<QString> classes = classesOf(symbols);
    const int n = int(classes.size());
    double count = 0;
    for (int leftOut = 0; leftOut < (1 << n); ++leftOut) {
        double size = 0;
        int removed = 0;
        for (int c = 0; c < n; ++c) {
            if (leftOut & (1 << c))
                ++removed;
            else
                size += double(classes[c].size());
        }
        count += (removed % 2 ? -1 : 1) * std::pow(size, length);
    }
    return std::log2(count);
}

double passphraseBits(int words)
{
    return words * std::log2(double(EffWordCount));
}

}  // namespace Health::Generator

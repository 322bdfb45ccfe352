#pragma once

#include <QString>

// Passwords drawn with libsodium's randombytes_uniform, one uniform draw a
// character or word (no modulo bias).
namespace Health::Generator {

inline constexpr int DefaultLength = 20;
inline constexpr int LeastLength = 8;
inline constexpr int MostLength = 128;
inline constexpr int LeastWords = 3;
inline constexpr int MostWords = 20;
inline const QString DefaultSeparator = QStringLiteral("-");

inline const QString Upper = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
inline const QString Lower = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
inline const QString Digits = QStringLiteral("0123456789");
// Symbols sign-up forms accept: no quotes, brackets, slashes or blanks.
inline const QString Symbols = QStringLiteral("!#$%&*+-.=?@^_~");

// `length` characters from the upper- and lower-case letters, the digits
// and (with `symbols`) the symbols, at least one of each.
QString password(int length, bool symbols = true);
// `words` words of the EFF long word list joined by `separator`.
QString passphrase(int words, const QString& separator = DefaultSeparator);

// What a form gives an attacker who knows the form: log2 of the number of
// passwords it can make.
double passwordBits(int length, bool symbols = true);
double passphraseBits(int words);

}  // namespace Health::Generator

#pragma once

#include <QString>
#include <optional>

// The one rule for a master password, for the windows that set it and for
// quillock-seal alike.
namespace MasterRule {

inline constexpr int MaxLength = 16;  // UTF-16 units, as the boxes count
inline constexpr int MinLength = 8;

// Spaces only, at either end: tabs and other white space are kept.
QString trimSpaces(const QString& text);

// The master password the two entries stand for, or nothing when they
// break the rule: spaces at either end dropped, at least MinLength left,
// both typed alike. Halves of characters in either entry do not count.
std::optional<QString> accept(const QString& first, const QString& second);

}  // namespace MasterRule

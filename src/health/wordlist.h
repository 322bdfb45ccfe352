#pragma once

#include <array>
#include <cstddef>

namespace Health {

// The EFF long word list (Electronic Frontier Foundation, CC BY 3.0): five
// dice pick one of its words, so each word drawn is log2(7776) = 12.9 bits.
// The build makes its source from the copy Debian's diceware installs.
inline constexpr std::size_t EffWordCount = 7776;
extern const std::array<const char*, EffWordCount> EffWords;

}  // namespace Health

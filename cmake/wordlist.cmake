# Turns the EFF long word list into a C++ source of the core at configure
# time. Debian's diceware writes each line as "DDDDD<tab>word", the five dice
# that pick it first; only the words are kept, in the list's order.
find_file(QUILLOCK_WORDLIST_FILE wordlist_en_eff.txt REQUIRED
  PATHS /usr/lib/python3/dist-packages/diceware/wordlists /usr/share/diceware/wordlists
  DOC "The EFF long word list (Debian package diceware)")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLOCK_WORDLIST_FILE})

file(STRINGS ${QUILLOCK_WORDLIST_FILE} lines)
list(LENGTH lines count)
if(NOT count EQUAL 7776)
  message(FATAL_ERROR "${QUILLOCK_WORDLIST_FILE} holds ${count} lines, not the 7,776 of the EFF long word list")
endif()
set(words "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[1-6][1-6][1-6][1-6][1-6]\t([a-z-]+)$")
    message(FATAL_ERROR "${QUILLOCK_WORDLIST_FILE}: not a line of the EFF long word list: ${line}")
  endif()
  string(APPEND words "    \"${CMAKE_MATCH_1}\",\n")
endforeach()

set(QUILLOCK_WORDLIST_SOURCE ${CMAKE_BINARY_DIR}/generated/effwordlist.cpp)
file(CONFIGURE OUTPUT ${QUILLOCK_WORDLIST_SOURCE} @ONLY CONTENT
"// Made by cmake/wordlist.cmake from ${QUILLOCK_WORDLIST_FILE}.
// EFF long word list, (c) 2016 Electronic Frontier Foundation, CC BY 3.0
// (https://www.eff.org/dice).
#include \"health/wordlist.h\"

namespace Health {

const std::array<const char*, EffWordCount> EffWords = {
@words@};

}  // namespace Health
")

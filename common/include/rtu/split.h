// Splitting texts: fields between separator characters, and the words of a
// command line as the shell sees them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

// The next field of text from pos, found the way strtok finds it: separators
// (any character of delims) before it are skipped, and it runs to the next
// separator or to the end. pos moves past the separator that ended it, so the
// next call may look for other separators. False, with pos at the end, when
// only separators are left.
bool next_field(std::string_view text, std::size_t &pos, std::string_view delims,
                std::string_view &field);

// Every field of text (next_field): a run of separators, also at the start
// or at the end, separates like one, so no field is empty.
std::vector<std::string_view> split_fields(std::string_view text, std::string_view delims);

// The blanks that separate the words of a command line.
inline constexpr std::string_view kShellBlanks = " \t\n";

// The words of text as /bin/sh splits a plain command line, with nothing
// expanded or substituted: characters of blanks separate words; '...' and
// "..." group characters into a word and are removed (an empty pair is an
// empty word); a backslash outside quotes takes the next character as it is
// (a backslash at the very end stays); inside "..." a backslash does so only
// before " \ $ or `, and stays otherwise. A character whose entry in literal
// is true (texts put in from elsewhere) is always taken as it is, never as a
// blank, quote or backslash.
//
// A quote left open at the end is a text the shell refuses to run at all: it
// gives nullopt, never a guess where the quote would have ended.
std::optional<std::vector<std::string>> split_shell_words(std::string_view text,
                                                          std::string_view blanks = kShellBlanks,
                                                          const std::vector<bool> &literal = {});

}  // namespace rtu

// A strict reading of a command line as /bin/sh would split it, for the
// targets' checks: the words, or false when any character outside quotes
// would make the shell do more than split words (operators, expansions,
// globs, comments, a line end).
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline bool plain_shell_words(std::string_view cmd, std::vector<std::string> &words) {
    words.clear();
    std::string word;
    bool in_word = false;
    std::size_t i = 0;
    while (i < cmd.size()) {
        char c = cmd[i];
        if (c == ' ' || c == '\t') {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        if (c == '\'') {
            std::size_t end = cmd.find('\'', i + 1);
            if (end == std::string_view::npos) return false;
            word.append(cmd.substr(i + 1, end - i - 1));
            in_word = true;
            i = end + 1;
            continue;
        }
        if (c == '"') {
            ++i;
            for (;;) {
                if (i >= cmd.size()) return false;
                char d = cmd[i];
                if (d == '"') break;
                if (d == '$' || d == '`') return false;
                if (d == '\\' && i + 1 < cmd.size() && std::strchr("$`\"\\\n", cmd[i + 1])) {
                    word.push_back(cmd[i + 1]);
                    i += 2;
                    continue;
                }
                word.push_back(d);
                ++i;
            }
            ++i;
            in_word = true;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= cmd.size() || cmd[i + 1] == '\n') return false;
            word.push_back(cmd[i + 1]);
            in_word = true;
            i += 2;
            continue;
        }
        if (std::strchr(";|&$`()<>*?[]\n\r{}!", c) != nullptr) return false;
        if ((c == '#' || c == '~') && !in_word) return false;
        if (c == '=' && !in_word && words.empty()) return false;  // an assignment
        word.push_back(c);
        in_word = true;
        ++i;
    }
    if (in_word) words.push_back(word);
    return true;
}

}  // namespace fuzz

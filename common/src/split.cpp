#include "rtu/split.h"

namespace rtu {

bool next_field(std::string_view text, std::size_t &pos, std::string_view delims,
                std::string_view &field) {
    std::size_t start = text.find_first_not_of(delims, pos);
    if (start == std::string_view::npos) {
        pos = text.size();
        return false;
    }
    std::size_t end = text.find_first_of(delims, start);
    if (end == std::string_view::npos) end = text.size();
    field = text.substr(start, end - start);
    pos = end < text.size() ? end + 1 : end;
    return true;
}

std::vector<std::string_view> split_fields(std::string_view text, std::string_view delims) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    std::string_view field;
    while (next_field(text, pos, delims, field)) out.push_back(field);
    return out;
}

std::optional<std::vector<std::string>> split_shell_words(std::string_view text,
                                                          std::string_view blanks,
                                                          const std::vector<bool> &literal) {
    auto is_literal = [&](std::size_t i) { return i < literal.size() && literal[i]; };
    std::vector<std::string> words;
    enum { kBlank, kWord, kSingle, kDouble } mode = kBlank;
    std::string cur;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (is_literal(i)) {
            if (mode == kBlank) mode = kWord;
            cur.push_back(c);
            continue;
        }
        switch (mode) {
            case kBlank:
            case kWord:
                if (blanks.find(c) != std::string_view::npos) {
                    if (mode == kWord) words.push_back(std::move(cur));
                    cur.clear();
                    mode = kBlank;
                } else if (c == '\'') {
                    mode = kSingle;
                } else if (c == '"') {
                    mode = kDouble;
                } else if (c == '\\') {
                    mode = kWord;
                    cur.push_back(i + 1 < text.size() ? text[++i] : c);
                } else {
                    mode = kWord;
                    cur.push_back(c);
                }
                break;
            case kSingle:
                if (c == '\'')
                    mode = kWord;
                else
                    cur.push_back(c);
                break;
            case kDouble:
                if (c == '"') {
                    mode = kWord;
                } else if (c == '\\' && i + 1 < text.size() && !is_literal(i + 1) &&
                           std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos) {
                    cur.push_back(text[++i]);
                } else {
                    cur.push_back(c);
                }
                break;
        }
    }
    if (mode == kSingle || mode == kDouble) return std::nullopt;
    if (mode == kWord) words.push_back(std::move(cur));
    return words;
}

}  // namespace rtu

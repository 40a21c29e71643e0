// trimwatch's list of monitored files: the input is the list, read line by
// line as trimwatch reads it. Every entry's trimfile command must hand the
// path over as one word, whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "shell_words.h"
#include "trim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        // A line longer than the limit is cut; its rest is not a line of its own.
        std::string_view line = text.substr(pos, std::min(end - pos, trim::kLineMax));
        pos = end + 1;
        auto entry = trim::parse_config_line(line);
        if (!entry) continue;
        if (entry->path.empty() || entry->size <= 0 || entry->path.size() > trim::kPathMax)
            std::abort();
        std::string cmd = trim::trim_command(*entry);
        if (cmd.empty()) continue;
        std::vector<std::string> words;
        if (!fuzz::plain_shell_words(cmd, words) || words.size() != 3 ||
            words[0] != trim::kTrimfilePath || words[1] != std::to_string(entry->size) ||
            words[2] != entry->path) {
            std::fprintf(stderr, "unsound trimfile command: %s\n", cmd.c_str());
            std::abort();
        }
        trim::reserve_bytes(words[1].c_str());
    }
    return 0;
}

// State shared by the scanner and the parser during one read.
#pragma once

namespace rsmlib {

// Failure the scanner met during the current read: 0 for none,
// RSM_ERR_FILE_READ when reading the file failed, RSM_ERR_MALLOC when memory
// ran out. Once set, the scanner reports end of input.
extern int scan_failure;

// The semantic value of a FLOAT token: the double, then the NUL-terminated
// text it was converted from.
inline const char *float_token_text(const void *block) {
    return static_cast<const char *>(block) + sizeof(double);
}

}  // namespace rsmlib

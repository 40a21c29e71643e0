// State shared by the scanner and the parser during one read.
#pragma once

namespace rsmlib {

// Failure the scanner met during the current read: 0 for none,
// RSM_ERR_FILE_READ when reading the file failed, RSM_ERR_MALLOC when memory
// ran out. Once set, the scanner reports end of input.
extern int scan_failure;

}  // namespace rsmlib

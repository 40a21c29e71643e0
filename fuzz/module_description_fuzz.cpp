// modemctl's walk of the module description file: the input is the file.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "modem_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    modem::ModuleDescription d = modem::parse_module_description(text);
    if (!d.has_tokens && (!d.records.empty() || !d.drivers.empty())) std::abort();
    for (const auto &record : d.records)
        for (const auto &field : record) modem::module_takes_radio_cmd(field);
    return 0;
}

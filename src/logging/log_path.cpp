#include "logging/log_path.h"

namespace kestrune::logging {

std::u16string log_directory_from(const std::optional<std::u16string>& programdata) {
    const std::u16string base = programdata ? *programdata : std::u16string(DEFAULT_PROGRAMDATA);
    return join_path(base, DATA_DIRECTORY_NAME);
}

} // namespace kestrune::logging

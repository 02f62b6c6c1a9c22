#include "service/start_checks.h"

#include "child/current_exe.h"
#include "child/parent_directory.h"
#include "logging/log_directory.h"
#include "logging/log_sink.h"
#include "win/directory_security.h"

namespace kestrune::service {

void log_directory_warnings() {
    // Without its own path the service cannot name its directory; the data directory is
    // still checked.
    std::wstring service_directory;
    if (auto exe = child::current_exe()) {
        service_directory = child::parent_directory(*exe).value_or(std::wstring());
    }
    for (const std::string& line :
         win::directory_warnings(logging::log_directory(), service_directory)) {
        logging::log_line(line);
    }
}

} // namespace kestrune::service

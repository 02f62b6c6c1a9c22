#include "win_test_support.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "logging/shared_log.h"
#include "win/wide.h"

namespace kestrune::child::test {

std::wstring make_service_dir(const std::wstring& name, bool with_sing_box) {
    const std::wstring dir = make_temp_dir(name);
    if (with_sing_box &&
        !CopyFileW(stand_in_path().c_str(), (dir + L"\\sing-box.exe").c_str(), FALSE)) {
        throw std::runtime_error("cannot copy the stand-in");
    }
    return dir + L"\\kestrune-service.exe";
}

std::wstring set_programdata_with_config(const std::wstring& programdata,
                                         const std::string& config) {
    SetEnvironmentVariableW(L"PROGRAMDATA", programdata.c_str());
    const std::wstring directory =
        programdata.empty() ? L"KestruneConnect" : programdata + L"\\KestruneConnect";
    make_directory_chain(directory);
    const std::wstring config_path = directory + L"\\config.json";
    write_file(config_path, config);
    return config_path;
}

Result<SingBoxChild> spawn_stand_in(const std::string& config) {
    static const std::wstring service_exe = make_service_dir(L"svc", true);
    set_programdata_with_config(make_temp_dir(L"data"), config);
    return spawn_sing_box_from(service_exe);
}

long shared_log_references() {
    auto log = logging::shared_log();
    return log.ok() ? log->use_count() - 1 : -1;
}

namespace {
std::wstring& stored_log_path() {
    static std::wstring path;
    return path;
}
} // namespace

const std::wstring& log_path() {
    return stored_log_path();
}
void set_log_path(std::wstring path) {
    stored_log_path() = std::move(path);
}

} // namespace kestrune::child::test

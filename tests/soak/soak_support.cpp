#include "soak_support.h"

#include <gtest/gtest.h>

#include <mutex>

#include "child/pump.h"
#include "child/start_child.h"
#include "win/os_error.h"

namespace kestrune::soak {

std::wstring make_service_dir() {
    const std::wstring dir = make_temp_dir(L"svc");
    if (!CopyFileW(stand_in_path().c_str(), (dir + L"\\sing-box.exe").c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy the stand-in: " << GetLastError();
    }
    return dir + L"\\kestrune-service.exe";
}

std::wstring use_new_programdata(const std::string& config) {
    const std::wstring programdata = make_temp_dir(L"programdata");
    SetEnvironmentVariableW(L"PROGRAMDATA", programdata.c_str());
    const std::wstring data = programdata + L"\\KestruneConnect";
    make_directory_chain(data);
    write_file(data + L"\\config.json", config);
    return data + L"\\sing-box-service.log";
}

std::string read_shared(const std::wstring& path) {
    const win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file) {
        return text;
    }
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

std::size_t count_lines(std::string_view text, std::string_view line) {
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string_view::npos ? text.size() : end + 1;
        if (text.substr(at, end - at) == line) {
            ++count;
        }
        at = end;
    }
    return count;
}

std::string repeat(std::string_view line, std::size_t times) {
    std::string out;
    out.reserve(line.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out.append(line);
    }
    return out;
}

void make_wait_handle(std::mutex& mutex) {
    // The waiter must really block, so it gets a few chances; once the handle exists the count
    // stays put whatever happens.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::size_t before = handle_count();
        std::unique_lock hold(mutex);
        std::thread waiter([&mutex] { std::lock_guard wait(mutex); });
        Sleep(200);
        hold.unlock();
        waiter.join();
        if (handle_count() != before) {
            return;
        }
    }
}

std::shared_ptr<logging::SharedLog> open_private_log(const std::wstring& path,
                                                     std::uint64_t max_bytes) {
    Result<logging::RotatingLog> opened =
        logging::RotatingLog::open(path, max_bytes, logging::LOG_MAX_BACKUPS);
    if (!opened) {
        ADD_FAILURE() << "open private log: " << opened.error();
        return nullptr;
    }
    return std::shared_ptr<logging::SharedLog>(
        new logging::SharedLog{{}, std::move(opened).value()});
}

PumpedStandIn::PumpedStandIn(const std::string& config, Sink sink) {
    const std::wstring config_path = make_temp_dir(L"stand-in") + L"\\config.json";
    write_file(config_path, config);
    auto child = child::start_child(stand_in_path(), {L"run", L"-c", config_path});
    if (!child) {
        ADD_FAILURE() << "start the stand-in: " << win::os_error_text(child.error());
        return;
    }
    started_ = true;
    process_ = std::move(child->process.process);
    for (win::UniqueHandle* pipe : {&child->stdout_read, &child->stderr_read}) {
        pumps_.emplace_back(
            [sink, pipe = std::move(*pipe)] { child::pump_pipe(pipe.get(), sink); });
    }
}

PumpedStandIn::PumpedStandIn(const std::string& config, std::shared_ptr<logging::SharedLog> log)
    : PumpedStandIn(config, [log](std::string_view line) {
          std::lock_guard guard(log->mutex);
          return log->log.write_line(line);
      }) {}

PumpedStandIn::~PumpedStandIn() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
    }
    join_pumps();
}

bool PumpedStandIn::exited_within(DWORD limit_ms) {
    return process_ && WaitForSingleObject(process_.get(), limit_ms) == WAIT_OBJECT_0;
}

std::uint32_t PumpedStandIn::exit_code() {
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void PumpedStandIn::join_pumps() {
    for (std::thread& pump : pumps_) {
        if (pump.joinable()) {
            pump.join();
        }
    }
}

} // namespace kestrune::soak

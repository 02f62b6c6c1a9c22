#include "service/start_checks.h"

#include <utility>
#include <vector>

#include "child/current_exe.h"
#include "child/parent_directory.h"
#include "logging/directory.h"
#include "logging/event_log.h"
#include "logging/log_directory.h"
#include "logging/log_path.h"
#include "logging/log_sink.h"
#include "win/directory_security.h"
#include "win/wide.h"

namespace kestrune::service {
namespace {

using win::Guarded;
using win::Judgement;
using win::Verdict;

std::optional<std::string> line_for(Guarded what, const std::wstring& path,
                                    const std::optional<Judgement>& judgement) {
    if (!judgement) {
        return std::nullopt;
    }
    if (judgement->verdict != Verdict::refuse) {
        return win::verdict_line(what, judgement->verdict, win::narrow_lossy(path));
    }
    const std::string narrow_path = win::narrow_lossy(path);
    return win::verdict_line(
        what, judgement->verdict, narrow_path,
        win::reason_text(judgement->why,
                         [](std::string_view sid) { return win::account_name(sid); }),
        win::fix_command(what, judgement->why, narrow_path));
}

bool refused(const std::optional<Judgement>& judgement) {
    return judgement && judgement->verdict == Verdict::refuse;
}

} // namespace

std::optional<std::string> refuse_unsafe_start(std::initializer_list<std::string_view> first_lines,
                                               Warnings warnings) {
    const std::wstring data_directory = logging::log_directory();
    // Made before it is judged, so a directory that someone else makes at the same moment is
    // judged as it stands. When it cannot be made, the log and sing-box fail as they would
    // without this check.
    (void)logging::create_directory_chain(data_directory);
    const std::optional<Judgement> data = win::judge_path(Guarded::data_directory, data_directory);
    if (refused(data)) {
        // Not logged: the log lives in there. The refusal leaves through the exit code, the
        // Event Log and, in console mode, standard error.
        std::optional<std::string> refusal =
            line_for(Guarded::data_directory, data_directory, data);
        if (refusal) {
            logging::report_event(*refusal);
        }
        return refusal;
    }
    for (std::string_view line : first_lines) {
        logging::log_line(line);
    }

    std::vector<std::pair<Guarded, std::wstring>> checks;
    // Without its own path the service cannot find sing-box.exe either; spawning says why.
    if (auto exe = child::current_exe()) {
        if (std::optional<std::wstring> directory = child::parent_directory(*exe)) {
            checks.emplace_back(Guarded::service_directory, *directory);
            checks.emplace_back(Guarded::service_executable,
                                logging::join_path(*directory, L"sing-box.exe"));
        }
    }
    checks.emplace_back(Guarded::config_file, logging::join_path(data_directory, L"config.json"));

    std::optional<std::string> refusals;
    for (const auto& [what, path] : checks) {
        const std::optional<Judgement> judgement = win::judge_path(what, path);
        const std::optional<std::string> line = line_for(what, path, judgement);
        if (!line || (!refused(judgement) && warnings == Warnings::silent)) {
            continue;
        }
        logging::log_line(*line);
        if (refused(judgement)) {
            refusals = refusals ? *refusals + "\n" + *line : *line;
        }
    }
    return refusals;
}

} // namespace kestrune::service

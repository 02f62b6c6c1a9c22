#!/bin/bash
# The installer end to end under Wine, in a Wine prefix of its own (its own Wine server, so the
# other Wine tests never see this service): builds a package and a higher-version package with
# scripts/package (the sing-box stand-in bundled), checks the tables Wine's installer does not
# act on, then installs, upgrades, tries a downgrade, replaces the product with a rebuild at
# the same version and uninstalls with the real msiexec; last, installs once more in a network
# namespace without a default route.
#
# usage: msi_install.sh SOURCE_DIR BIN_DIR WORK_DIR
set -euo pipefail

source_dir=$1 bin=$2 work=$3
service=KestruneConnectSingBox
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
keeper="" ns=""
cleanup() {
    local status=$?
    [ -z "$keeper" ] || kill "$keeper" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    [ -z "$ns" ] || ip netns del "$ns" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# --- packages: the higher version first, so the release build ends at the project's version.
version=$(sed -n 's/^project(KestruneConnectSingBox VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
IFS=. read -r major minor patch <<<"$version"
higher=$major.$minor.$((patch + 1))
package=$source_dir/scripts/package
"$package" --version "$higher" --sing-box "$bin/sing_box_stand_in.exe" --output "$work" >/dev/null
# A rebuild at the same version (a product code of its own) must replace the installed one.
"$package" --version "$higher" --sing-box "$bin/sing_box_stand_in.exe" --output "$work/rebuild" >/dev/null
"$package" --sing-box "$bin/sing_box_stand_in.exe" --output "$work" >/dev/null
"$package" --output "$work/unbundled" >/dev/null
msi=$work/$service-$version-x64.msi
msi_higher=$work/$service-$higher-x64.msi
unbundled=$work/unbundled/$service-$version-x64.msi
rebuild=$work/rebuild/$service-$higher-x64.msi

# --- the tables (what Wine's installer ignores is checked only here).
row() { # row MSI TABLE TEXT: the table holds a row with TEXT (tab-separated)
    msiinfo export "$1" "$2" | tr -d '\r' | grep -qF "$3" || fail "$2 of $(basename "$1") lacks: $3"
}
tab=$'\t'
row "$msi" ServiceInstall "$service${tab}Kestrune Connect sing-box${tab}16${tab}2${tab}1${tab}${tab}${tab}LocalSystem"
# Stop on install and uninstall, delete on uninstall, wait; start on install only when bundled.
row "$msi" ServiceControl "$service${tab}163${tab}${tab}1${tab}ServiceExecutable"
row "$unbundled" ServiceControl "$service${tab}162${tab}${tab}1${tab}ServiceExecutable"
msiinfo export "$unbundled" File | grep -q sing-box.exe && fail "the unbundled package carries sing-box.exe"
row "$msi" MsiServiceConfig "DelayedAutoStart${tab}$service${tab}5${tab}3${tab}1${tab}ServiceExecutable"
sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' '{print $3, $1}' | sort -n |
           awk '/InstallServices|MsiConfigureServices|ServiceRecovery|StartServices/ {printf "%s ", $2}')
# --- recovery, file version and same-version upgrades: the tables
[ "$sequence" = "InstallServices MsiConfigureServices ServiceRecoveryActions ServiceRecoveryFlag StartServices " ] ||
    fail "service actions out of order: $sequence"
msiinfo tables "$msi" | tr -d '\r' | grep -qx MsiServiceConfigFailureActions &&
    fail "the package still has MsiServiceConfigFailureActions"
sc_exe='"[System64Folder]sc.exe"'
# 3170: an executable run from a directory, deferred, not impersonated, its exit code ignored.
row "$msi" CustomAction "ServiceRecoveryActions${tab}3170${tab}INSTALLDIR${tab}$sc_exe failure $service reset= 86400 actions= restart/5000/restart/10000/restart/60000${tab}"
row "$msi" CustomAction "ServiceRecoveryFlag${tab}3170${tab}INSTALLDIR${tab}$sc_exe failureflag $service 1${tab}"
row "$msi" InstallExecuteSequence "ServiceRecoveryFlag${tab}VersionNT AND NOT REMOVE~=\"ALL\"${tab}"
file_version() { msiinfo export "$1" File | tr -d '\r' | awk -F'\t' '$1 == "ServiceExe" {print $5}'; }
[ "$(file_version "$msi")" = "$version.0" ] || fail "File version of the service is '$(file_version "$msi")'"
[ "$(file_version "$msi_higher")" = "$higher.0" ] || fail "File version in $(basename "$msi_higher")"
row "$msi" Upgrade "${tab}${tab}$version${tab}${tab}513${tab}${tab}WIX_UPGRADE_DETECTED"
# --- end of recovery, file version and same-version upgrades
row "$msi" Directory "ProgramFiles64Folder"
row "$msi" Component "ServiceExecutable${tab}{3D7A9F12-5B64-4E8C-A1D2-6C0B8E4F7A31}${tab}INSTALLDIR${tab}256"
msiinfo suminfo "$msi" | grep -q '^Template: x64;1033' || fail "the package is not a 64-bit one"
# --- the Event Log source's rows
event_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\KestruneConnectSingBox\'
row "$msi" Registry "2${tab}$event_key${tab}EventMessageFile${tab}#%[#ServiceExe]${tab}EventSource"
row "$msi" Registry "2${tab}$event_key${tab}TypesSupported${tab}#7${tab}EventSource"
row "$msi" Registry "EventSourceKey${tab}2${tab}$event_key${tab}-${tab}${tab}EventSource"
row "$msi" Component "EventSource${tab}{5C8E1A47-2D9B-4F63-B7A0-E3F4D5C6B7A8}${tab}INSTALLDIR${tab}260"
row "$msi" Property "ALLUSERS${tab}1"
row "$msi_higher" Property "ProductVersion${tab}$higher"
row "$msi" Upgrade "${tab}$version${tab}${tab}${tab}2${tab}${tab}WIX_DOWNGRADE_DETECTED"
row "$msi" LaunchCondition "NOT WIX_DOWNGRADE_DETECTED${tab}A newer version of the Kestrune Connect sing-box service is already installed."

# --- the tables added by hand: names and column types as Windows Installer documents them
# (it reads them by column name; Wine's installer ignores them), each column in _Validation.
# Any other table beyond what wixl writes needs its documented schema here first.
declare -A schema=(
    [MsiLockPermissionsEx]="MsiLockPermissionsEx LockObject Table SDDLText Condition|s72 s72 s32 s0 S255"
    [MsiServiceConfig]="MsiServiceConfig Name Event ConfigType Argument Component_|s72 s255 i2 i2 S0 s72"
    [_Validation]="Table Column Nullable MinValue MaxValue KeyTable KeyColumn Category Set Description|s32 s32 s4 I4 I4 S255 I2 S32 S255 S255"
)
wixl_tables=" AdminExecuteSequence AdminUISequence AdvtExecuteSequence AppSearch Binary Component CreateFolder CustomAction Directory Error Feature FeatureComponents File Icon InstallExecuteSequence InstallUISequence LaunchCondition Media MsiFileHash Property RegLocator Registry RemoveFile ServiceControl ServiceInstall Shortcut Signature Upgrade _ForceCodepage _SummaryInformation "
validation=$(msiinfo export "$msi" _Validation | tr -d '\r' | awk -F'\t' 'NR > 3 {print $1 "." $2}')
for table in $(msiinfo tables "$msi" | tr -d '\r'); do
    [[ "$wixl_tables" == *" $table "* ]] && continue
    if [ -z "${schema[$table]:-}" ]; then
        fail "table $table was added without its documented schema in this test"
        continue
    fi
    IFS='|' read -r names types <<<"${schema[$table]}"
    header=$(msiinfo export "$msi" "$table" | tr -d '\r' | head -2 | tr '\t' ' ')
    [ "$header" = "$names"$'\n'"$types" ] || fail "$table's columns are: $header"
    [ "$table" = _Validation ] && continue
    for column in $names; do
        grep -qxF "$table.$column" <<<"$validation" || fail "_Validation lacks $table.$column"
    done
done
row "$msi" _Validation "MsiLockPermissionsEx${tab}SDDLText${tab}N${tab}${tab}${tab}${tab}${tab}FormattedSDDLText${tab}"
row "$msi" _Validation "MsiServiceConfig${tab}Component_${tab}N${tab}${tab}${tab}Component${tab}1${tab}Identifier${tab}"
# The old version goes inside the new install's transaction, so a failure rolls it back in.
sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' '{print $3, $1}' | sort -n |
           awk '/^[0-9]+ (InstallValidate|InstallInitialize|RemoveExistingProducts|ProcessComponents)$/ {printf "%s ", $2}')
[ "$sequence" = "InstallValidate InstallInitialize RemoveExistingProducts ProcessComponents " ] ||
    fail "RemoveExistingProducts is out of place: $sequence"

# --- the data directory: made by the package in a permanent component, its owner and protected
# DACL in MsiLockPermissionsEx (which only Windows Installer applies; Wine's msiexec makes the
# folder and ignores the table, and Wine keeps no security descriptors anyway).
row "$msi" Directory "DATADIR${tab}CommonAppDataFolder${tab}KestruneConnect"
row "$msi" Component "DataDirectory${tab}{5C1E8B7A-2D49-4F36-9A0B-7E3D6C2F1A84}${tab}DATADIR${tab}16${tab}${tab}"
row "$msi" CreateFolder "DATADIR${tab}DataDirectory"
row "$msi" FeatureComponents "Service${tab}DataDirectory"
row "$msi" MsiLockPermissionsEx "DataDirectory${tab}DATADIR${tab}CreateFolder${tab}O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)${tab}"
# The service directory likewise, with Users' read and execute (0x1200a9) and nothing handed
# down from C:\Program Files: no CREATOR OWNER entry for whoever copies sing-box.exe in.
row "$msi" CreateFolder "INSTALLDIR${tab}ServiceExecutable"
row "$msi" MsiLockPermissionsEx "ServiceDirectory${tab}INSTALLDIR${tab}CreateFolder${tab}O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)${tab}"

# --- a private prefix with a keeper process (Wine stops services once the last ordinary Wine
# process has gone).
wineboot -u >/dev/null 2>&1 || true
wine cmd /c "ping -n 600 127.0.0.1 >NUL" >/dev/null 2>&1 &
keeper=$!
drive=$WINEPREFIX/drive_c
program_files="$drive/Program Files/KestruneConnect"
# Services see PROGRAMDATA=C:\users\Public (at times C:\ProgramData): config in both.
config='{"steps":[{"text":"stand-in from the package\n"},{"text":"tick\n","times":"forever","sleep_ms":500}]}'
data_dirs=("$drive/users/Public/KestruneConnect" "$drive/ProgramData/KestruneConnect")
for data in "${data_dirs[@]}"; do
    mkdir -p "$data"
    printf '%s\n' "$config" >"$data/config.json"
done

probe() { wine "$bin/package_probe.exe" "$@" 2>&1 | tr -d '\r'; }
msiexec() { # msiexec ACTION MSI LOG: the exit status of the real msiexec
    local status=0
    wine msiexec "$1" "$(winepath -w "$2")" /qn /l*v "$(winepath -w "$3")" || status=$?
    return $status
}
wait_for() { # wait_for WHAT COMMAND...: polls up to 60 s
    for _ in $(seq 240); do
        "${@:2}" && return 0
        sleep 0.25
    done
    fail "timed out waiting for $1; logs in $work"
    exit 1
}
state_is() { probe service "$service" | grep -qx "State=$1"; }
event_source() { # the source's values; nothing when its key is missing
    local values
    values=$(wine reg query "HKLM\\${event_key%\\}" 2>/dev/null) || return 0
    tr -d '\r' <<<"$values" | sed -nE 's/^ +([A-Za-z]+) +(REG_[A-Z_]+) +(.*)$/\1 \2 \3/p'
}
check_event_source() { # check_event_source WHEN
    [ "$(event_source)" = "EventMessageFile REG_EXPAND_SZ C:\\Program Files\\KestruneConnect\\$service.exe
TypesSupported REG_DWORD 0x7" ] || fail "$1: the Event Log source holds: $(event_source)"
}
service_absent() { [[ "$(probe service "$service")" == *"OpenServiceW failed: 1060"* ]]; }
logs() { # the service's log, from whichever data directory Wine gave it
    local log
    for log in "${data_dirs[@]/%//sing-box-service.log}"; do
        [ ! -f "$log" ] || cat "$log"
    done
}
log_starts() { logs | grep -c '^Kestrune service wrapper starting$' || true; }
log_has_starts() { [ "$(log_starts)" -ge "$1" ] && logs | grep -q '^stand-in from the package$'; }
service_process_running() {
    local pid
    for pid in $(pgrep -f 'KestruneConnect.KestruneConnectSingBox\.exe' || true); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
# Wine's installer asks the service to stop but never waits for it (Windows Installer does), so
# a start or a file replacement right after it meets the old process: stop it first.
stop_service() {
    wine sc stop "$service" >/dev/null 2>&1 || true
    wait_for "the service to stop" state_is 1
    wait_for "the service process to end" eval '! service_process_running'
}

# --- install
msiexec /i "$msi" "$work/install.log" || fail "install exited with $?"
config_now=$(probe service "$service")
echo "$config_now"
grep -qxE 'BinaryPath="?C:\\Program Files\\KestruneConnect\\KestruneConnectSingBox\.exe"?' <<<"$config_now" ||
    fail "binary path is not under Program Files"
grep -qx 'StartType=2' <<<"$config_now" || fail "start type is not automatic"
grep -qx 'ServiceType=16' <<<"$config_now" || fail "not a service of its own process"
grep -qx 'Account=LocalSystem' <<<"$config_now" || fail "account is not LocalSystem"
[ -f "$program_files/sing-box.exe" ] || fail "sing-box.exe not installed"
# The release executable as packaged: its version resource, and no debug information.
resource=$(probe version "$program_files/$service.exe")
for line in "FixedFileVersion=$version.0" "FileVersion=$version" "ProductVersion=$version" \
            "ProductName=Kestrune Connect" "CompanyName=Kestrune" \
            "FileDescription=Kestrune Connect sing-box service" "OriginalFilename=$service.exe"; do
    grep -qxF "$line" <<<"$resource" || fail "version resource lacks $line"
done
messages=$(probe messages "$program_files/$service.exe")
[ "$messages" = "MessageTable=ok" ] || fail "the installed executable's Event Log messages: $messages"
sections=$(x86_64-w64-mingw32-objdump -h "$program_files/$service.exe")
grep -q '\.debug' <<<"$sections" && fail "the release executable carries debug sections"
check_event_source install
wait_for "the installed service to run" state_is 4
wait_for "the service's log" log_has_starts 1
# The data directory's CreateFolders row was carried out (the MsiLockPermissionsEx row leaves no
# trace in Wine's log: it is not applied), and the service did not refuse the folder.
# Polled: once the line was not in the log yet when msiexec had returned
# and the service ran. grep -c reads to the end, so pipefail sees no early exit.
folder_created() { [ "$(tr -d '\r' <"$work/install.log" | grep -cx 'Folder: DATADIR')" -ge 1 ]; }
wait_for "CreateFolders to make the data directory (Folder: DATADIR in the install log)" \
    folder_created
logs | grep -q '^refusing to start' && fail "the installed service refused to start: $(logs | grep '^refusing')"

# --- upgrade: the new executable runs, the data directory stays
starts=$(log_starts)
stop_service
msiexec /i "$msi_higher" "$work/upgrade.log" || fail "upgrade exited with $?"
probe version "$program_files/$service.exe" | grep -qx "FileVersion=$higher" ||
    fail "the upgrade did not install version $higher"
check_event_source upgrade
wait_for "the upgraded service to run" state_is 4
wait_for "the upgraded service's first log line" log_has_starts $((starts + 1))
for data in "${data_dirs[@]}"; do
    [ -f "$data/config.json" ] || fail "the upgrade removed $data/config.json"
done

# --- downgrade: refused (Wine's quiet log omits the launch condition's text: its table row is
# checked above), nothing changes
if msiexec /i "$msi" "$work/downgrade.log"; then
    fail "the downgrade was accepted"
fi
grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$work/downgrade.log" ||
    fail "the downgrade was refused, but not as a downgrade"
probe version "$program_files/$service.exe" | grep -qx "FileVersion=$higher" ||
    fail "the refused downgrade changed the executable"
state_is 4 || fail "the refused downgrade stopped the service"

# --- recovery, file version and same-version upgrades: the custom actions ran (Wine runs
# "C:\windows\system32\sc.exe" from the script; its failure exits 0 but keeps nothing, its
# failureflag is unknown and exits 1, which the install above ignored), and a rebuild at the
# installed version replaces the installed product
for action in ServiceRecoveryActions ServiceRecoveryFlag; do
    # Read directly: with pipefail, grep -q ending early would fail a pipe from tr.
    grep -qE "^Action ended .*: $action\. Return value 1\.$" "$work/install.log" ||
        fail "$action did not run"
done
products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | grep -c 'DisplayName.*Kestrune Connect sing-box service' || true
}
[ "$(products)" = 1 ] || fail "$(products) products registered before the rebuild"
starts=$(log_starts)
stop_service
msiexec /i "$rebuild" "$work/rebuild.log" || fail "the same-version rebuild exited with $?"
[ "$(products)" = 1 ] || fail "the same-version rebuild installed beside the old one: $(products) products"
wait_for "the rebuilt package's service to run" state_is 4
wait_for "the rebuilt package's service's first log line" log_has_starts $((starts + 1))
msi_higher=$rebuild # what is installed now, for the uninstall
# --- end of recovery, file version and same-version upgrades

# --- uninstall: service and program files gone, data directory kept
stop_service
msiexec /x "$msi_higher" "$work/uninstall.log" || fail "uninstall exited with $?"
wait_for "the service to be removed" service_absent
[ -z "$(event_source)" ] || fail "uninstall left the Event Log source: $(event_source)"
[ -z "$(ls -A "$program_files" 2>/dev/null)" ] || fail "uninstall left: $(ls "$program_files")"
for data in "${data_dirs[@]}"; do
    [ -f "$data/config.json" ] || fail "uninstall removed $data/config.json"
done
[ "$(log_starts)" -ge 2 ] || fail "uninstall removed the log"

# --- no network yet: the bundled package installs in a network namespace without a default
# route, with a Wine server of its own started inside it. The service reports RUNNING while it
# waits for the route, so msiexec's StartServices (at most 30 s for RUNNING) succeeds.
if [ "$(id -u)" = 0 ] && ip netns list >/dev/null 2>&1; then
    kill "$keeper" 2>/dev/null || true
    keeper=""
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ns=kr-msi-noroute-$$
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ! ip -n "$ns" route show default | grep -q . || fail "the new namespace has a default route"
    # Every Wine process of this block, and first of all the server (winepath, run outside,
    # finds it running).
    wine() { ip netns exec "$ns" wine "$@"; }
    wine wineboot -u >/dev/null 2>&1 || true
    wine cmd /c "ping -n 600 127.0.0.1 >NUL" >/dev/null 2>&1 &
    keeper=$!
    for data in "${data_dirs[@]}"; do rm -f "$data"/sing-box-service.log*; done
    began=$(date +%s)
    msiexec /i "$msi" "$work/noroute-install.log" || fail "install without a default route exited with $?"
    took=$(($(date +%s) - began))
    [ "$took" -le 35 ] || fail "install without a default route took $took s"
    state_is 4 || fail "the service does not run after the install: $(probe service "$service" | grep State)"
    logs | grep -q '^RDP route protection waiting for a physical IPv4 default route: ' ||
        fail "the service does not say it waits for the route: $(logs)"
    ! logs | grep -qE '^(stand-in from the package|RDP route protection (enabled|unavailable))' ||
        fail "the service did not wait: $(logs)"
    stop_service
    unset -f wine
    wineserver -k 2>/dev/null || true
    ip netns del "$ns"
    ns=""
else
    echo "SKIPPED: the install without a default route needs root and 'ip netns'"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; logs in $work"
    exit 1
fi
echo "install, upgrade to $higher, refused downgrade, same-version rebuild, uninstall and the install without a default route behaved"

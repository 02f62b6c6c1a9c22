#!/bin/bash
# The Event Log reports of a short console run. Wine's ReportEventW stub prints each event's
# type and ID (fixme:advapi) and its text (channel eventlog: err, warn or trace by level) on
# the Unix standard error, which only a shell can catch. The child prints lines that read like
# the service's own: they go to the log and into no event. Then every ID through the message
# table (package_probe).
#
# usage: console_events.sh BIN_DIR WORK_DIR   (WINEPREFIX from the environment)
set -euo pipefail

bin=$1 work=$2
rm -rf "$work"
mkdir -p "$work/svc" "$work/data/KestruneConnect"
cp "$bin/KestruneConnectSingBox.exe" "$work/svc/"
cp "$bin/sing_box_stand_in.exe" "$work/svc/sing-box.exe"
child_lines=("RDP route protection stopped" "sing-box restart failed: from the child")
echo '{"steps":[{"text":"'"${child_lines[0]}"'\n"},{"text":"'"${child_lines[1]}"'\n","stream":"stderr"}]}' \
    >"$work/data/KestruneConnect/config.json"
svc=$(winepath -w "$work/svc") data=$(winepath -w "$work/data")

# Wine sets PROGRAMDATA from Linux: set it from inside. $1 names the run's standard error.
run_console() {
    WINEDEBUG=trace+eventlog,warn+eventlog,err+eventlog,fixme+advapi \
        wine cmd /c "set PROGRAMDATA=$2&& $svc\\KestruneConnectSingBox.exe" >/dev/null 2>"$1" || true
}
run_console "$work/stderr" "$data"

# One line per event: type and ID (from the fixme line), channel class, text.
events_of() {
    tr -d '\r' <"$1" | sed -nE \
    -e 's/.*:fixme:advapi:ReportEventW \([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),.*/\1 \2/p' \
    -e 's/.*:([a-z]+):eventlog:ReportEventW L"(.*)"(\.\.\.)?$/\1 \2/p' |
        while read -r type id && read -r level text; do echo "$((16#$type)) $((16#$id)) $level $text"; done
}
events=$(events_of "$work/stderr")
escaped() { sed 's/\\/\\\\/g' <<<"$1"; }
expected="4 110 trace StartServiceCtrlDispatcherW failed: 1063
4 111 trace Kestrune service wrapper running in console mode
2 203 warn warning: config.json is readable by non-administrators: $(escaped "$data\\KestruneConnect\\config.json")
4 112 trace sing-box console exit: exit code: 0"
status=0
[ "$events" = "$expected" ] || { echo "FAILED: events"$'\n'"$events"$'\n'"expected"$'\n'"$expected"; status=1; }
for line in "${child_lines[@]}"; do
    grep -qxF "$line" "$work/data/KestruneConnect/sing-box-service.log" ||
        { echo "FAILED: not in the log: $line"; status=1; }
done
# A data directory that is a link: the refusal, an error, reaches the Event Log although no log
# file may be written.
mkdir -p "$work/linked"
ln -s "$work/data/KestruneConnect" "$work/linked/KestruneConnect"
run_console "$work/linked.stderr" "$(winepath -w "$work/linked")"
refused="1 303 err refusing to start sing-box: data directory can be changed by non-administrators: "
linked=$(winepath -w "$work/linked")\\KestruneConnect
refused+="$(escaped "$linked") (a link); fix from an elevated prompt: cmd /c rmdir \\\""
# Wine's debug channel cuts a long string short ("..."); standard error has the whole line.
[[ "$(events_of "$work/linked.stderr" | grep -v ' 110 ')" == "$refused"* ]] ||
    { echo "FAILED: refusal events"$'\n'"$(events_of "$work/linked.stderr")"; status=1; }
grep -qxF "refusing to start sing-box: data directory can be changed by non-administrators: $linked (a link); fix from an elevated prompt: cmd /c rmdir \"$linked\"" \
    "$work/linked.stderr" || { echo "FAILED: no whole refusal on standard error"; status=1; }
messages=$(wine "$bin/package_probe.exe" messages "$svc\\KestruneConnectSingBox.exe" | tr -d '\r')
[ "$messages" = "MessageTable=ok" ] || { echo "FAILED: $messages"; status=1; }
exit "$status"

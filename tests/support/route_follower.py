# Carries out, in the current network namespace's real routing table, each route.exe command
# line that the route.exe stand-in records, the way Windows' route.exe would:
#   ... ADD|DELETE <peer> MASK 255.255.255.255 <gateway> METRIC <m> IF <index>
#   ... -6 ADD|DELETE <peer>/128 <next hop> METRIC <m> IF <index>
# becomes `ip route add|del <peer>/32 via <gateway> dev <device> metric <m>` (or the /128 with
# `ip -6`), the device being the one whose Linux interface index is <index> (Wine hands out the
# Linux index). Appends
# "<verb> <peer> ok" or "<verb> <peer> failed: <reason>" to APPLIED for every line, and writes
# how many bytes of RECORD it has carried out to route-carried-out.txt beside it, which the
# stand-in waits for, as route.exe returns once its route is in the table. Runs until killed
# (SIGTERM removes that file, so a later stand-in run without a follower does not wait).
#
# usage: route_follower.py RECORD APPLIED
import os
import re
import signal
import socket
import subprocess
import sys
import time

record, applied = sys.argv[1], sys.argv[2]
carried_out = os.path.join(os.path.dirname(record), "route-carried-out.txt")


def note_carried_out(count):
    with open(carried_out + ".new", "w") as f:
        f.write("%d\n" % count)
    os.replace(carried_out + ".new", carried_out)


def leave(*_):
    try:
        os.remove(carried_out)
    except FileNotFoundError:
        pass
    sys.exit(0)


signal.signal(signal.SIGTERM, leave)
note_carried_out(0)
command = re.compile(r" (ADD|DELETE) ([0-9.]+) MASK 255\.255\.255\.255 ([0-9.]+) METRIC ([0-9]+)"
                     r" IF ([0-9]+)\s*$")
command6 = re.compile(r" -6 (ADD|DELETE) ([0-9a-f:]+)/128 ([0-9a-f:]+) METRIC ([0-9]+) IF ([0-9]+)\s*$")


def carry_out(line):
    match = command.search(line) or command6.search(line)
    if not match:
        return "unknown command line: %s" % line
    verb, peer, gateway, metric, index = match.groups()
    try:
        device = socket.if_indextoname(int(index))
    except OSError as e:
        return "%s %s failed: interface %s: %s" % (verb, peer, index, e)
    family, length = (["-6"], "/128") if match.re is command6 else ([], "/32")
    ip = subprocess.run(["ip"] + family + ["route", "add" if verb == "ADD" else "del",
                         peer + length, "via", gateway, "dev", device, "metric", metric],
                        capture_output=True, text=True)
    return "%s %s %s" % (verb, peer, "ok" if ip.returncode == 0 else "failed: " + ip.stderr.strip())


done = 0
done_bytes = 0
with open(applied, "a", buffering=1) as out:
    while True:
        try:
            with open(record, "rb") as f:
                lines = f.read().split(b"\n")[:-1]
        except FileNotFoundError:
            lines = []
        for raw in lines[done:]:
            out.write(carry_out(raw.decode("utf-8", "replace")) + "\n")
            done_bytes += len(raw) + 1
            note_carried_out(done_bytes)
        done = max(done, len(lines))
        time.sleep(0.02)

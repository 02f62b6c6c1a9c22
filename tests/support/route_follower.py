# Carries out, in the current network namespace's real routing table, each route.exe command
# line that the route.exe stand-in records, the way Windows' route.exe would:
#   ... ADD|DELETE <peer> MASK 255.255.255.255 <gateway> METRIC <m> IF <index>
#   ... -6 ADD|DELETE <peer>/128 <next hop> METRIC <m> IF <index>
# becomes `ip route add|del <peer>/32 via <gateway> dev <device> metric <m>` (or the /128 with
# `ip -6`), the device being the one whose Linux interface index is <index> (Wine hands out the
# Linux index). Appends
# "<verb> <peer> ok" or "<verb> <peer> failed: <reason>" to APPLIED for every line. Runs until
# killed.
#
# usage: route_follower.py RECORD APPLIED
import re
import socket
import subprocess
import sys
import time

record, applied = sys.argv[1], sys.argv[2]
command = re.compile(r" (ADD|DELETE) ([0-9.]+) MASK 255\.255\.255\.255 ([0-9.]+) METRIC ([0-9]+)"
                     r" IF ([0-9]+)\s*$")
command6 = re.compile(r" -6 (ADD|DELETE) ([0-9a-f:]+)/128 ([0-9a-f:]+) METRIC ([0-9]+) IF ([0-9]+)\s*$")
done = 0
with open(applied, "a", buffering=1) as out:
    while True:
        try:
            with open(record, "rb") as f:
                lines = f.read().decode("utf-8", "replace").split("\n")[:-1]
        except FileNotFoundError:
            lines = []
        for line in lines[done:]:
            match = command.search(line) or command6.search(line)
            if not match:
                out.write("unknown command line: %s\n" % line)
                continue
            verb, peer, gateway, metric, index = match.groups()
            try:
                device = socket.if_indextoname(int(index))
            except OSError as e:
                out.write("%s %s failed: interface %s: %s\n" % (verb, peer, index, e))
                continue
            family, length = (["-6"], "/128") if match.re is command6 else ([], "/32")
            ip = subprocess.run(["ip"] + family + ["route", "add" if verb == "ADD" else "del",
                                 peer + length, "via", gateway, "dev", device, "metric", metric],
                                capture_output=True, text=True)
            result = "ok" if ip.returncode == 0 else "failed: " + ip.stderr.strip()
            out.write("%s %s %s\n" % (verb, peer, result))
        done = max(done, len(lines))
        time.sleep(0.02)

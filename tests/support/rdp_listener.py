# A stand-in RDP server for the network-namespace tests and benchmarks: listens on each PORT
# (default 3389), holds every connection until its client goes away and echoes what the client
# sends, so a client can time the round trips of its session. RDP_BACKLOG (default 64) is the
# listen backlog. Each port has an IPv4 socket and an IPv6-only one, or with RDP_DUAL_STACK=1 one
# dual-stack socket, whose IPv4 clients Linux lists in its IPv6 table as ::ffff:a.b.c.d.
#
# usage: rdp_listener.py [PORT...]
import os
import select
import socket
import sys
import threading

ports = sys.argv[1:] or [3389]
backlog = int(os.environ.get("RDP_BACKLOG", "64"))
if os.environ.get("RDP_DUAL_STACK") == "1":
    servers = [socket.create_server(("::", int(port)), family=socket.AF_INET6, backlog=backlog,
                                    dualstack_ipv6=True) for port in ports]
else:
    servers = [socket.create_server((host, int(port)), family=family, backlog=backlog)
               for port in ports
               for host, family in (("0.0.0.0", socket.AF_INET), ("::", socket.AF_INET6))]
print("listening", flush=True)


def hold(conn):
    try:
        while data := conn.recv(4096):
            conn.sendall(data)
    except OSError:
        pass
    conn.close()


while True:
    conn, _ = select.select(servers, [], [])[0][0].accept()
    threading.Thread(target=hold, args=(conn,), daemon=True).start()

# A stand-in RDP server for the network-namespace tests and benchmarks: listens on each PORT
# (default 3389), holds every connection until its client goes away and echoes what the client
# sends, so a client can time the round trips of its session. RDP_BACKLOG (default 64) is the
# listen backlog.
#
# usage: rdp_listener.py [PORT...]
import os
import select
import socket
import sys
import threading

ports = sys.argv[1:] or [3389]
backlog = int(os.environ.get("RDP_BACKLOG", "64"))
servers = [socket.create_server(("0.0.0.0", int(port)), backlog=backlog) for port in ports]
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

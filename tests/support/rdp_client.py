# An RDP session stand-in for the network-namespace tests and benchmarks. Connects from SOURCE
# to SERVER:PORT (3389 by default), prints "connected <ms>" (how long connect() took, SYN retransmissions
# included), then sends a probe every 100 ms and, every 100 ms, appends to GAPS the
# milliseconds since the last echo came back (since connecting before the first). A session
# cut off by a route shows as a gap that keeps growing.
#
# usage: rdp_client.py SOURCE SERVER GAPS [CONNECT_LIMIT_S [PORT]]
import select
import socket
import sys
import time

source, server, gaps = sys.argv[1], sys.argv[2], sys.argv[3]
limit = float(sys.argv[4]) if len(sys.argv) > 4 else 30
port = int(sys.argv[5]) if len(sys.argv) > 5 else 3389

conn = socket.socket(socket.AF_INET6 if ":" in source else socket.AF_INET)
conn.bind((source, 0))
conn.settimeout(limit)
start = time.monotonic()
conn.connect((server, port))
last_echo = time.monotonic()
print("connected %.0f" % ((last_echo - start) * 1000), flush=True)
conn.setblocking(False)
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

with open(gaps, "a", buffering=1) as out:
    tick = time.monotonic()
    while True:
        try:
            conn.send(b"probe\n")
        except BlockingIOError:
            pass
        tick += 0.1
        while (wait := tick - time.monotonic()) > 0:
            if select.select([conn], [], [], wait)[0]:
                if not conn.recv(4096):
                    sys.exit("the server closed the session")
                last_echo = time.monotonic()
        out.write("%.0f\n" % ((time.monotonic() - last_echo) * 1000))
        if tick < time.monotonic():
            tick = time.monotonic()

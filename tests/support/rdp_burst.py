# Many short-lived RDP clients, for the network-namespace tests and benchmarks: a client from
# each SOURCE connects to SERVER:3389, the clients starting SPACING_MS apart (0: all at once);
# each closes its connection HOLD_S after it got in, or gives up LIMIT_S after it started.
# Prints "connected <source> <ms>" for each client that got in (ms since it started, SYN and
# SYN-ACK retransmissions included), "missed <source> <reason>" for each that did not, and
# last "burst <connected> of <clients> last <ms>", ms running from the first client's start
# until the last one got in.
#
# usage: rdp_burst.py SERVER LIMIT_S HOLD_S SPACING_MS SOURCE...
import errno
import select
import socket
import sys
import time

server, limit, hold = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
spacing, sources = float(sys.argv[4]) / 1000, sys.argv[5:]

begin = time.monotonic()
poller = select.poll()
connecting = {}  # fd -> (socket, source, started)
held = []  # (close at, socket)
started = got_in = 0
last_in = 0.0

while started < len(sources) or connecting or held:
    now = time.monotonic()
    while started < len(sources) and now >= begin + started * spacing:
        conn = socket.socket()
        conn.setblocking(False)
        conn.bind((sources[started], 0))
        code = conn.connect_ex((server, 3389))
        if code not in (0, errno.EINPROGRESS):
            sys.exit("connect from %s: %s" % (sources[started], errno.errorcode.get(code)))
        connecting[conn.fileno()] = (conn, sources[started], now)
        poller.register(conn, select.POLLOUT)
        started += 1
    for fd, _ in poller.poll(10):
        conn, source, since = connecting.pop(fd)
        poller.unregister(fd)
        code = conn.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        now = time.monotonic()
        if code == 0:
            got_in += 1
            last_in = now - begin
            print("connected %s %.0f" % (source, (now - since) * 1000), flush=True)
            held.append((now + hold, conn))
        else:
            print("missed %s %s" % (source, errno.errorcode.get(code, code)), flush=True)
            conn.close()
    now = time.monotonic()
    for fd, (conn, source, since) in list(connecting.items()):
        if now - since > limit:
            print("missed %s timeout" % source, flush=True)
            poller.unregister(fd)
            del connecting[fd]
            conn.close()
    for entry in [e for e in held if e[0] <= now]:
        held.remove(entry)
        entry[1].close()

print("burst %d of %d last %.0f" % (got_in, len(sources), last_in * 1000), flush=True)

# A stand-in RDP server for the network-namespace tests and benchmarks: listens on port 3389
# and holds every connection until its client goes away.
import socket
import threading

server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("0.0.0.0", 3389))
server.listen(64)
print("listening", flush=True)


def hold(conn):
    while conn.recv(4096):
        pass
    conn.close()


while True:
    conn, _ = server.accept()
    threading.Thread(target=hold, args=(conn,), daemon=True).start()

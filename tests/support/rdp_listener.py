# A stand-in RDP server for the network-namespace tests and benchmarks: listens on port 3389,
# holds every connection until its client goes away and echoes what the client sends, so a
# client can time the round trips of its session.
import socket
import threading

server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("0.0.0.0", 3389))
server.listen(64)
print("listening", flush=True)


def hold(conn):
    try:
        while data := conn.recv(4096):
            conn.sendall(data)
    except OSError:
        pass
    conn.close()


while True:
    conn, _ = server.accept()
    threading.Thread(target=hold, args=(conn,), daemon=True).start()

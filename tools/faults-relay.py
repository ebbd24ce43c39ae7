#!/usr/bin/env python3
"""The network between the desk and one simulated CNC, for tools/faults.sh.

    faults-relay.py TARGET_PORT PORT_FILE

Listens on 127.0.0.1 (a free port, written to PORT_FILE) and passes every
connection on to 127.0.0.1:TARGET_PORT.  SIGUSR1 cuts the cable: every
connection is reset and new ones are refused until SIGUSR2 puts it back.
Loopback only.
"""
import os
import selectors
import signal
import socket
import struct
import sys

target = int(sys.argv[1])
cut = False
pairs = {}  # socket -> its peer
sel = selectors.DefaultSelector()
listener = None


def listen(port=0):
    global listener
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    sel.register(listener, selectors.EVENT_READ)
    return listener.getsockname()[1]


def drop(sock):
    peer = pairs.pop(sock, None)
    for s in (sock, peer):
        if s is None:
            continue
        pairs.pop(s, None)
        try:
            sel.unregister(s)
        except (KeyError, ValueError):
            pass
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        s.close()


def on_cut(*_):
    global cut
    cut = True


def on_restore(*_):
    global cut
    cut = False


signal.signal(signal.SIGUSR1, on_cut)
signal.signal(signal.SIGUSR2, on_restore)
port = listen()
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(f"{port}\n")
os.rename(sys.argv[2] + ".tmp", sys.argv[2])

while True:
    if cut and listener is not None:
        for s in list(pairs):
            drop(s)
        sel.unregister(listener)
        listener.close()
        listener = None
    if not cut and listener is None:
        listen(port)
    try:
        events = sel.select(0.05)
    except InterruptedError:
        continue
    for key, _ in events:
        sock = key.fileobj
        if sock is listener:
            client, _ = listener.accept()
            server = socket.socket()
            try:
                server.connect(("127.0.0.1", target))
            except OSError:
                client.close()
                server.close()
                continue
            pairs[client], pairs[server] = server, client
            sel.register(client, selectors.EVENT_READ)
            sel.register(server, selectors.EVENT_READ)
            continue
        if sock not in pairs:
            continue
        try:
            data = sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            drop(sock)
            continue
        try:
            pairs[sock].sendall(data)
        except OSError:
            drop(sock)

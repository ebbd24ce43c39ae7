#!/usr/bin/env python3
"""Many hosts that accept a connection and never answer, in one process.

    silent_hosts.py COUNT HOSTS-FILE [SECONDS]

Listens on one free port at COUNT loopback addresses (127.1.0.1 upward),
writes a hosts file naming them (silent-N 127.1.x.y:PORT), prints "ready"
and stays until SECONDS have passed (300) or it is ended.  The
kernel completes each connection from its backlog; nothing is accepted and
nothing is ever sent, so every client waits out its time-out.
"""
import resource
import socket
import sys
import time

count, hosts_file = int(sys.argv[1]), sys.argv[2]
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 300
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if soft < count + 64:
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64), hard))

addresses = ["127.1.%d.%d" % (k // 250, k % 250 + 1) for k in range(count)]
def listen_all():
    """The sockets on one port free at every address, or None."""
    probe = socket.socket()
    probe.bind((addresses[0], 0))
    port = probe.getsockname()[1]
    probe.close()
    listening = []
    try:
        for a in addresses:
            s = socket.socket()
            listening.append(s)
            s.bind((a, port))
            s.listen(8)
    except OSError:
        for s in listening:
            s.close()
        return None, None
    return port, listening

for attempt in range(20):  # another program may hold the port at one of the addresses
    port, listening = listen_all()
    if listening:
        break
else:
    sys.exit("silent_hosts: no port free at every address")
with open(hosts_file, "w") as out:
    for k, a in enumerate(addresses):
        out.write("silent-%d %s:%d\n" % (k + 1, a, port))
print("ready", port, flush=True)
time.sleep(seconds)

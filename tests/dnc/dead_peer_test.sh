#!/usr/bin/env bash
# The DNC service and a client that vanishes without closing (its PC loses
# power, its cable is pulled): with short keep-alive timings the server drops
# it within seconds and serves the client waiting behind it, while a live
# client that stays silent for longer keeps its connection.  Timings the
# system refuses are traced and the connection is served all the same.
#
# The test runs in a network namespace of its own, where a firewall rule
# swallows the vanished client's packets both ways (no FIN, no RST, no
# answer to a probe); nothing reaches the machine's own loopback.
#
#   dead_peer_test.sh KESTRIO-SETUP KESTRIO-DNC KESTRIO-SIM
# Exit status 77 (skipped) without root, network namespaces or nft.
set -u
skip() { echo "SKIP: $*"; exit 77; }
if [[ ${KESTRIO_PRIVATE_NET:-} != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || skip "needs root for a network namespace and a firewall rule"
  command -v nft >/dev/null || skip "nft not found (package nftables)"
  unshare --net true 2>/dev/null || skip "cannot create a network namespace"
  KESTRIO_PRIVATE_NET=1 exec unshare --net -- "$0" "$@"
fi
ip link set lo up || skip "cannot bring up the loopback of the namespace"
nft add table inet dead_peer && nft add chain inet dead_peer input '{ type filter hook input priority 0; }' ||
  skip "nft cannot filter here"

setup="$1" dnc="$2" sim="$3"
# shellcheck source=../lib.sh
source "$(dirname "$0")/../lib.sh"
scratch

# client.py PORT hold|ask-after:SECONDS|IDLE-SECONDS: asks the protocol version
# and prints its local port; then either holds the connection until killed,
# asks again after SECONDS without reading the answer and holds it, or stays
# silent for IDLE-SECONDS and asks again, printing "answered" or what went wrong.
cat >"$dir/client.py" <<'PY'
import socket, sys, time
port, mode = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port), timeout=20)
def version():
    request = b"\x01R,NET,VER,\x03"
    s.sendall(len(request).to_bytes(2, "big") + request)
    def exactly(n):
        data = b""
        while len(data) < n:
            piece = s.recv(n - len(data))
            if not piece:
                raise ConnectionError("closed by the server")
            data += piece
        return data
    header = exactly(10)
    return exactly(int.from_bytes(header[:2], "big")).startswith(b"\x01S,NET,VER,")
if not version():
    sys.exit("no version reply")
print(s.getsockname()[1], flush=True)
if mode == "hold":
    time.sleep(600)
elif mode.startswith("ask-after:"):
    # Asks again once the firewall swallows the replies: the server's
    # answer then waits unacknowledged, and keep-alive never probes.
    time.sleep(float(mode.split(":")[1]))
    request = b"\x01R,NET,VER,\x03"
    s.sendall(len(request).to_bytes(2, "big") + request)
    time.sleep(600)
else:
    time.sleep(float(mode))
    try:
        print("answered" if version() else "bad reply", flush=True)
    except OSError as e:
        print("failed:", e, flush=True)
PY

# first_line FILE SECONDS: the first line of FILE once it has one.
first_line() {
  for _ in $(seq $(($2 * 20))); do
    [[ -s $1 ]] && { head -n 1 "$1"; return 0; }
    sleep 0.05
  done
  return 1
}

# A vanished client: once its packets go nowhere, the server gives up on it
# after 1 s of silence and 2 unanswered probes 1 s apart, and the next client,
# connected meanwhile and waiting in the listen queue, is answered.
machine vanish && start_host vanish --keepalive 1,1,2 || exit 1
python3 "$dir/client.py" "$port" hold >"$dir/vanish.client" 2>&1 &
pids+=($!)
cport=$(first_line "$dir/vanish.client" 10) || { ko "the first client was not served: $(cat "$dir/vanish.client")"; summary; exit; }
nft add rule inet dead_peer input tcp sport "$cport" drop && nft add rule inet dead_peer input tcp dport "$cport" drop ||
  { ko "cannot drop the packets of port $cport"; summary; exit; }
started=$SECONDS
out=$("$dnc" --port "$port" --timeout 30000 read KESTRIO.VERSION 2>&1); rc=$?
took=$((SECONDS - started))
expect '[[ $rc -eq 0 && -n $out ]]' "the client behind a vanished one was not served: rc=$rc output=$out"
expect '[[ $took -le 10 ]]' "the vanished client held the server for $took s"
# The receive ended with ETIMEDOUT: keep-alive, not a reset, ended it.
expect 'grep -qF "DNCSERVER: RecibirPaquete nBytes=-1. Error 110" "$dir/vanish.out"' \
  "the server's trace does not show the dead connection timing out: $(cat "$dir/vanish.out")"

# A live client that stays silent for longer than those timings answers the
# probes and keeps its connection.
python3 "$dir/client.py" "$port" 5 >"$dir/idle.client" 2>&1
expect '[[ $(sed -n 2p "$dir/idle.client") == answered ]]' "a live idle client lost its connection: $(cat "$dir/idle.client")"

# A client that vanishes while the server's reply waits for its
# acknowledgement: the same budget ends it (not the system's retry limit of
# about 15 minutes), and the next client is served.
machine unacked && start_host unacked --keepalive 1,1,2 || exit 1
python3 "$dir/client.py" "$port" ask-after:2 >"$dir/unacked.client" 2>&1 &
pids+=($!)
cport=$(first_line "$dir/unacked.client" 10) || { ko "the first client was not served: $(cat "$dir/unacked.client")"; summary; exit; }
nft add rule inet dead_peer input tcp dport "$cport" drop || { ko "cannot drop the replies to port $cport"; summary; exit; }
started=$SECONDS
out=$("$dnc" --port "$port" --timeout 30000 read KESTRIO.VERSION 2>&1); rc=$?
took=$((SECONDS - started))
expect '[[ $rc -eq 0 && -n $out ]]' "the client behind an unacknowledging one was not served: rc=$rc output=$out"
expect '[[ $took -le 12 ]]' "a client that acknowledges nothing held the server for $took s"

# Timings beyond what the system takes (idle or interval above 32767 s, more
# than 127 probes) are refused when the host starts, with the reason.
for timings in 60,10,128 32768,10,6 60,40000,6; do
  machine "refused-${timings//,/-}"
  out=$(timeout 10 "$setup" --machine "$dir/refused-${timings//,/-}" --port 0 --keepalive "$timings" 2>&1); rc=$?
  expect '[[ $rc -ne 0 && $out == *--keepalive* ]]' "--keepalive $timings was taken: rc=$rc output=$out"
done

summary

#!/bin/bash
# Manual (scripts/standby_bench.sh [N] [BUILD_DIR], logs in a temporary folder): a pair at N terminals; SIGKILL the active; time until the standby's
# metrics show every terminal online; the standby's idle CPU before that.
set -u
N=${1:-1000}
B=${2:-build/gcc}; B=$(realpath "$B")
W=$(mktemp -d); cd "$W"
PORT=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
printf "listener $PORT 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n" > m.conf
/usr/sbin/mosquitto -c m.conf > m.log 2>&1 & MP=$!
mkfifo -m 600 farm.in 2>/dev/null || true
$B/tools/vq6120-sim/vq6120-sim --terminals $N --port 0 < farm.in > farm.out 2>farm.log & FP=$!
exec 3>farm.in
sleep 2
PORTS=$(head -1 farm.out | sed 's/ports: //')
python3 - "$PORT" "$PORTS" <<'PY'
import json,sys
port=int(sys.argv[1]); spec=sys.argv[2].split()
ports=[]
for w in spec:
    if '-' in w:
        a,b=map(int,w.split('-')); ports+=range(a,b+1)
    else: ports.append(int(w))
for n,m in (("a",19612),("b",19613)):
    c={"broker":{"host":"127.0.0.1","port":port,"client_id":"gw-"+n,"keepalive":5},"prefix":"vq6120",
       "metrics":"127.0.0.1:%d"%m,"redundancy":{"node":n,"settle_ms":300,"fence_ms":1000},
       "terminal_reconnect_min_ms":100,"terminal_reconnect_max_ms":400,
       "terminals":[{"name":"t%d"%i,"address":"127.0.0.1","port":p} for i,p in enumerate(ports)]}
    json.dump(c,open(n+".json","w"))
PY
online() { curl -s 127.0.0.1:$1/metrics | awk '/^vq6120_gateway_terminals\{state="online"\}/{print $2}'; }
STATE_DIRECTORY=$W $B/tools/vq6120-gateway/vq6120-gateway a.json 2>a.log & AP=$!
for i in $(seq 100); do [ "$(online 19612)" = "$N" ] && break; sleep 0.2; done
echo "a online: $(online 19612)"
STATE_DIRECTORY=$W $B/tools/vq6120-gateway/vq6120-gateway b.json 2>b.log & BP=$!
sleep 3
T0=$(awk '{print $14+$15}' /proc/$BP/stat); sleep 30; T1=$(awk '{print $14+$15}' /proc/$BP/stat)
echo "standby idle CPU over 30 s: $(( (T1-T0) )) ticks of $(getconf CLK_TCK)/s => $(python3 -c "print(round(($T1-$T0)/$(getconf CLK_TCK)/30*100,3))") % of a core"
S=$(date +%s%N); kill -9 $AP
for i in $(seq 1000); do [ "$(online 19613)" = "$N" ] && break; sleep 0.02; done
E=$(date +%s%N)
echo "b online: $(online 19613) after $(( (E-S)/1000000 )) ms from the SIGKILL"
kill $BP; sleep 1; exec 3>&-; kill $FP $MP 2>/dev/null; wait 2>/dev/null

#!/usr/bin/env bash
# Runs the whole system on this machine and checks that it replicates: QV_Server and two
# QV_Clients with the sample settings, inside a private network namespace (nothing leaves
# it). The feed fills the server's store and changes it for a while; then the clients' copies
# are saved and compared with each other and with a third client that joins afterwards.
# On failure the work folder (logs and exports) is kept and its path printed.
#   scripts/demo.sh [--loss PERCENT] [--duration SECONDS] [--windows | --mixed]
#     --loss      share of multicast datagrams dropped on arrival while the feed runs (0-99)
#     --duration  seconds the feed keeps changing the store after its population (default 15)
#     --windows   the Windows build of both programs, run under Wine
#     --mixed     the Linux server with the Windows build's clients under Wine
# Exits 0 when the three copies are identical, 1 when anything differs or fails.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
loss=0
duration=15
builds=linux
while [ $# -gt 0 ]; do
  case "$1" in
    --loss) loss=${2:?--loss takes a number}; shift 2 ;;
    --duration) duration=${2:?--duration takes a number}; shift 2 ;;
    --windows | --mixed) builds=${1#--}; shift ;;
    *) echo "usage: $0 [--loss PERCENT] [--duration SECONDS] [--windows | --mixed]" >&2; exit 2 ;;
  esac
done
case "$loss" in "" | *[!0-9]*) echo "--loss takes a whole number" >&2; exit 2 ;; esac
case "$duration" in "" | *[!0-9]*) echo "--duration takes a whole number" >&2; exit 2 ;; esac
[ "$loss" -lt 100 ] || { echo "--loss must be below 100" >&2; exit 2; }

if [ "${QV_IN_NETNS:-}" != "1" ]; then
  # shellcheck source=scripts/prepare.sh
  . "$top/scripts/prepare.sh"
  again=("$top/scripts/demo.sh" --loss "$loss" --duration "$duration")
  if [ "$builds" != windows ]; then
    qv_prepare build
    qv_build build QV_Server QV_Client
  fi
  if [ "$builds" = linux ]; then
    exec "$top/scripts/netns-run" "${again[@]}"
  fi
  qv_prepare_windows build-windows
  qv_build build-windows QV_Server QV_Client
  # Wine's server makes the programs' sockets: it runs inside the namespace too.
  exec "$top/scripts/netns-run" "$top/scripts/wine-run" "$top/build-windows" "${again[@]}" "--$builds"
fi

# Where each program comes from: the Linux build, or the Windows build run under Wine.
server_build=linux
client_build=linux
case "$builds" in
  windows) server_build=windows; client_build=windows ;;
  mixed) client_build=windows ;;
esac
bin="$top/build/bin"
work=$(mktemp -d /tmp/qv-demo.XXXXXX)
pids=()
key_fds=()
passed=no
table=qv_demo_$$
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  nft delete table ip "$table" 2>/dev/null || true
  if [ "$passed" = yes ]; then rm -rf "$work"; else printf 'The logs and exports are kept in %s\n' "$work" >&2; fi
}
trap cleanup EXIT

say() { printf '== %s\n' "$*"; }
fail() {
  printf '\nDEMO FAILED: %s\n' "$*" >&2
  exit 1
}

# start NAME PROGRAM: the program copied beside its sample settings into a folder of its own,
# its keys read from a pipe that the demo holds open, its output in NAME/out.log.
start() {
  local name=$1 program=$2 dir="$work/$1" fd from=$3 run
  mkdir -p "$dir"
  if [ "$from" = windows ]; then
    cp "$top/build-windows/bin/$program.exe" "$top/build-windows/bin/$program.ini" "$dir/"
    run=("$QV_WINE" "$dir/$program.exe")
  else
    cp "$bin/$program" "$bin/$program.ini" "$dir/"
    run=("$dir/$program")
  fi
  mkfifo "$dir/keys"
  (
    for fd in "${key_fds[@]}"; do eval "exec $fd>&-"; done # the other programs' key pipes
    exec "${run[@]}" < "$dir/keys" > "$dir/out.log" 2>&1
  ) &
  pids+=($!)
  printf -v "pid_$name" %s "$!"
  exec {fd}> "$dir/keys"
  key_fds+=("$fd")
  printf -v "fd_$name" %s "$fd"
}
key() {
  local fd="fd_$1"
  printf '%s' "$2" >&"${!fd}"
}

# wait_for NAME TEXT SECONDS: until the program's output holds TEXT.
wait_for() {
  local deadline=$((SECONDS + $3))
  until grep -qF -- "$2" "$work/$1/out.log" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "$1 did not print \"$2\" within $3 s; its last lines:
$(tail -20 "$work/$1/out.log")"
    sleep 0.1
  done
}
ms_now() { date +%s%3N; }

# The one-character marks of a program's output with the log lines taken out: '.' a packet
# applied, 'x' a packet found missing, 'o' a heartbeat, 'X' a packet multicast again.
marks_of() {
  sed -e 's/\[[0-9]\{4\}\/[0-9][0-9]\/[0-9][0-9] [0-9:.]*\] .*$//' \
      -e "s/Server initialized!//; s/Key '.' [A-Za-z .']*//; s/Server stopped\.//; s/Any key to exit\.//" | tr -d '\r\n'
}
marks() { marks_of < "$work/$1/out.log" | tr -cd "$2" | wc -c; }
count_of() { grep -cF -- "$2" "$work/$1/out.log" || true; }

# wait_caught_up NAME SECONDS: after the feed's end, until the client has applied the stream's
# last packet. A client still missing packets asks for them and applies them, or gives up and
# restarts, within about two seconds; so three seconds of the idle stream's heartbeats (each
# comes twice) in a row since its last synchronisation, with nothing else between them, mean
# it is caught up.
wait_caught_up() {
  local deadline=$((SECONDS + $2)) tail
  until
    tail=$(awk '/Sync complete/ { text = "" } { text = text $0 "\n" } END { printf "%s", text }' \
             "$work/$1/out.log" | marks_of)
    grep -qF "Sync complete" "$work/$1/out.log" &&
      ! awk '/Sync complete/ { lost = 0 } /TCP Disconnected!/ { lost = 1 } END { exit !lost }' "$work/$1/out.log" &&
      [[ "$tail" == *oooooooooooooooooooooooo ]]
  do
    [ $SECONDS -lt $deadline ] || fail "$1 did not catch up with the stream within $2 s; its last lines:
$(tail -20 "$work/$1/out.log")"
    sleep 0.2
  done
}

say "QV_Server ($server_build build) and two QV_Clients ($client_build build) with the sample settings, in $work"
start server QV_Server "$server_build"
wait_for server "Network server started!" 30
t0=$(ms_now)
start client1 QV_Client "$client_build"
start client2 QV_Client "$client_build"
wait_for client1 "Sync complete" 30
wait_for client2 "Sync complete" 30
say "Both clients synchronised with the empty store in $(( $(ms_now) - t0 )) ms"

if [ "$loss" -gt 0 ]; then
  group=$(sed -n 's/^MulticastAddr=//p' "$bin/QV_Server.ini" | tr -d '\r')
  say "Dropping $loss % of the datagrams to $group as they arrive"
  nft add table ip "$table"
  nft add chain ip "$table" prerouting '{ type filter hook prerouting priority -300; }'
  nft add rule ip "$table" prerouting ip daddr "$group" numgen random mod 100 "<" "$loss" drop
fi

say "Feed started: 80,000 objects, then $duration s of changes"
key server 1
wait_for server "Done - " 120
sleep "$duration"
key server 0
wait_for server "completed [Obj cnt:" 60
wait_caught_up client1 120
wait_caught_up client2 120
if [ "$loss" -gt 0 ]; then nft delete table ip "$table"; fi

say "A third client joins after the feed"
t0=$(ms_now)
start client3 QV_Client "$client_build"
wait_for client3 "Sync complete" 60
sync_ms=$(( $(ms_now) - t0 ))

say "Saving the three copies"
for c in client1 client2 client3; do
  key "$c" s
  wait_for "$c" "saved to file" 60
done
export_of() { ls "$work/$1"/QV_Client_*.txt; }
same12=no
same13=no
cmp -s "$(export_of client1)" "$(export_of client2)" && same12=yes
cmp -s "$(export_of client1)" "$(export_of client3)" && same13=yes

say "Shutting down with 'q'"
# The clients first, so that none of them sees the server end its session (and counts it as a
# restart) while it is still shutting down itself.
for c in client1 client2 client3; do key "$c" q; done
for c in client1 client2 client3 server; do
  [ "$c" != server ] || key server q
  wait_for "$c" "Any key to exit." 60
  key "$c" x
done
status=0
for c in client1 client2 client3 server; do
  pid="pid_$c"
  code=0
  wait "${!pid}" || code=$?
  [ "$code" = 0 ] || { echo "$c exited with $code"; status=1; }
done
pids=()

objects() { sed -n 's/.*Objects \[\([0-9]*\)\] saved.*/\1/p' "$work/$1/out.log" | tail -1; }
retransmitted=$(marks server X)
echo
say "Summary"
printf '  multicast loss injected        %s %%\n' "$loss"
printf '  feed                           %s\n' "$(sed -n 's/.*: \(Feed 0 completed .*\)$/\1/p' "$work/server/out.log" | tr -d '\r')"
printf '  objects in each copy           client1 %s, client2 %s, client3 %s\n' \
  "$(objects client1)" "$(objects client2)" "$(objects client3)"
printf '  stream packets applied         client1 %s, client2 %s\n' "$(marks client1 .)" "$(marks client2 .)"
printf '  restarts (resynchronisations)  client1 %s (%s), client2 %s (%s), client3 %s (%s)\n' \
  "$(count_of client1 'TCP Disconnected!')" "$(( $(count_of client1 'Sync complete') - 1 ))" \
  "$(count_of client2 'TCP Disconnected!')" "$(( $(count_of client2 'Sync complete') - 1 ))" \
  "$(count_of client3 'TCP Disconnected!')" "$(( $(count_of client3 'Sync complete') - 1 ))"
printf '  packets found missing          client1 %s, client2 %s\n' "$(marks client1 x)" "$(marks client2 x)"
printf '  packets multicast again        %s\n' "$retransmitted"
printf '  client3 synchronised in        %s ms\n' "$sync_ms"
printf '  client1 = client2              %s\n' "$same12"
printf '  client1 = client3              %s\n' "$same13"
[ "$same12" = yes ] && [ "$same13" = yes ] && [ "$status" = 0 ] || fail "the copies differ or a program failed"
passed=yes
echo
echo "DEMO PASSED: the three copies are identical."

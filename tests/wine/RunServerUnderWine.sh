#!/bin/bash
# The Windows server end to end under Wine, against loopback:
#   tests/wine/RunServerUnderWine.sh path/to/KelvraLogServer.exe
# 1. plain process: the first start writes LogServer.conf back, a TPKT record and a syslog datagram
#    land in Logs\127.0.0.1\... with the exact lines, Ctrl+C (SIGINT, which Wine hands to the
#    console control handler) runs the logged stop sequence;
# 2. RunMode 2 installs "Log_Service" in Wine's Service Control Manager and starts it; the service
#    serves, sc query shows it running, sc stop runs the logged stop sequence;
# 3. RunMode 3 removes it.
# Prints each check; exits non-zero on the first failure. Every wait is bounded; every process it
# starts is stopped. WINEPREFIX from the environment is used as it is (its wineserver is the
# caller's); without one a private prefix is made, and its wineserver is killed at the end.
set -u

exe=${1:?usage: $0 path/to/KelvraLogServer.exe}
here=$(cd "$(dirname "$0")" && pwd)
wire="python3 $here/kelvra_wire.py"
wine=${KELVRA_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo /usr/bin/wineserver)
wait_seconds=60

work=$(mktemp -d /tmp/kelvra-wine-e2e.XXXXXX)
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi
server_pid=
failures=0

say() { printf '%s\n' "$*"; }
pass() { say "PASS: $*"; }
fail() {
  say "FAIL: $*"
  failures=$((failures + 1))
  exit 1
}

cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -INT "$server_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if [ -n "${sc_used:-}" ]; then
    timeout 30 "$wine" sc stop Log_Service >/dev/null 2>&1
    timeout 30 "$wine" sc delete Log_Service >/dev/null 2>&1
  fi
  if [ "$own_prefix" = 1 ]; then
    timeout 60 "$wineserver" -k >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Polls "$@" until it succeeds, for at most $wait_seconds.
wait_for() {
  local deadline=$((SECONDS + wait_seconds))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.2
  done
}

# The concatenated hour files below a folder of the log tree (Linux path).
read_tree() { find "$1" -name '*.log' -type f 2>/dev/null | sort | xargs -r cat; }
# The diagnostic log's messages without their stamps.
messages() {
  read_tree "$dir/Logs/0.0.0.0/KelvraLogServer.exe/KelvraLogServer.exe" |
    tr -d '\r' | sed -E 's/^[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3} : //'
}
has_message() { messages | grep -qxF -- "$1"; }
saved_run_mode() { tr -d '\r' <"$dir/LogServer.conf" | sed -n 's/^RunMode=//p'; }
write_config() {
  # LogMode 0: no connection lines, so the diagnostic log's lines are known exactly.
  printf '[Common]\nServicePort=%s\nSysLogPort=%s\nRunMode=%s\nLogMode=0\n' "$tcp" "$udp" "$1" \
    >"$dir/LogServer.conf"
}
# Runs the server by hand to its end (bounded); its exit code.
run_to_end() {
  (cd "$dir" && timeout "$wait_seconds" "$wine" "$dir/KelvraLogServer.exe" >"$work/run.txt" 2>&1)
}
expect_messages() {
  local what=$1 expected=$2 actual
  actual=$(messages)
  if [ "$actual" = "$expected" ]; then
    pass "$what"
  else
    say "expected:"; say "$expected"; say "actual:"; say "$actual"
    fail "$what"
  fi
}

stop_sequence="Have normal TERM SIGNAL
STOPPING CONECTION CONTROLLER...
STOPPED CONECTION CONTROLLER...OK
STOPPING NET TPKT SERVER...
STOPPED NET TPKT SERVER...OK
STOPPING NET SYSLOG SERVER...
STOPPED NET SYSLOG SERVER...OK
STOPPING LOG QUEUE...
STOPPED LOG QUEUE...OK
STOPPING LOG PRODUCER...
STOPPED LOG PRODUCER...OK"

[ -f "$exe" ] || fail "no executable at $exe"
command -v python3 >/dev/null || fail "python3 is needed for the loopback clients"
[ -x "$wine" ] || fail "no wine64 at $wine"
if [ "$own_prefix" = 1 ]; then
  say "Wine prefix $WINEPREFIX (private)"
  # The prefix is made and its first wine server has ended before one is kept up: under a server
  # kept up (-p) while wineboot makes the prefix, Wine 8's services.exe never accepts a service
  # process (StartService 1053 after 10 s, RegisterServiceCtrlHandler 1060 in the service).
  timeout 180 "$wine" wineboot -i >/dev/null 2>&1 || fail "the Wine prefix could not be made"
  timeout 120 "$wineserver" -w
  "$wineserver" -p
  timeout 120 "$wine" cmd /c exit >/dev/null 2>&1 || fail "the Wine prefix does not run programs"
fi

dir=$work/server
mkdir -p "$dir"
cp "$exe" "$dir/KelvraLogServer.exe"
windir=$("$wine" winepath -w "$dir" 2>/dev/null | tr -d '\r')
[ -n "$windir" ] || fail "winepath gave no Windows path for $dir"
read -r tcp udp < <($wire free-ports)
say "server in $windir, TCP port $tcp, UDP port $udp"

# ---- 1. plain process ----
write_config 0
(cd "$work" && exec "$wine" "$dir/KelvraLogServer.exe" >"$work/plain.txt" 2>&1) &
server_pid=$!
$wire wait-listener "$tcp" "$wait_seconds" || fail "the plain process never listened on $tcp"
pass "plain process listens on TCP $tcp"

expected_conf="[Common]
ServicePort=$tcp
SysLogPort=$udp
RunMode=0
LogMode=0
BaseCatalog=$windir\\Logs\\
ModuleNameAsFilePrefix=1
TimePlacementMask=yyyy_mm_dd
PluginIsolation=1"
actual_conf=$(cat "$dir/LogServer.conf")
if [ "$actual_conf" = "$expected_conf" ]; then
  pass "the first start wrote LogServer.conf back"
else
  say "expected:"; say "$expected_conf"; say "actual:"; say "$actual_conf"
  fail "the first start wrote LogServer.conf back"
fi

# 7 March 2024 14:05:16.800 as the sender's time.
$wire record "$tcp" Billing Core "" "first record" 45358.587 || fail "the TPKT record could not be sent"
stream=$dir/Logs/127.0.0.1/Billing/Core
record_line() { read_tree "$stream" | grep -qaE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\[14:05:16\.800\] : first record'$'\r''$'; }
wait_for record_line || { read_tree "$stream" | od -c | head; fail "the TCP record's line"; }
file=$(find "$stream" -name '*.log' -type f)
case "$file" in
  "$stream"/[0-9][0-9][0-9][0-9]_[0-9][0-9]_[0-9][0-9]/Core_[0-9][0-9].log) ;;
  *) fail "the TCP record's file name: $file" ;;
esac
pass "the TCP record landed in Logs\\127.0.0.1\\Billing\\Core\\<day>\\Core_<hour>.log with both stamps"

syslog_stream=$dir/Logs/127.0.0.1/SYSLOG/syslog
syslog_line() {
  $wire syslog "$udp" "<13>Mar  7 host app: hi"
  sleep 0.3
  [ "$(read_tree "$syslog_stream" | head -n 1)" = $'<13>Mar  7 host app: hi\r' ]
}
wait_for syslog_line || fail "the syslog datagram's line"
pass "the syslog datagram landed in Logs\\127.0.0.1\\SYSLOG\\syslog"

kill -INT "$server_pid"
deadline=$((SECONDS + wait_seconds))
while kill -0 "$server_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
kill -0 "$server_pid" 2>/dev/null && fail "the plain process did not end on Ctrl+C"
wait "$server_pid"
code=$?
server_pid=
[ "$code" = 0 ] || fail "the plain process's exit code: $code"
expect_messages "Ctrl+C ran the logged stop sequence (exit code 0)" \
  "Log Server started
$stop_sequence
Log Server stopped"

# ---- 2. the service ----
rm -rf "$dir/Logs"
sc_used=1
timeout 30 "$wine" sc query Log_Service >/dev/null 2>&1 && fail "a service Log_Service is installed already"
write_config 2
run_to_end || fail "the installation run's exit code: $? ($(cat "$work/run.txt"))"
[ "$(saved_run_mode)" = 1 ] || fail "RunMode after the installation: $(saved_run_mode)"
pass "RunMode 2 installed the service and saved RunMode 1"

if ! $wire wait-listener "$tcp" "$wait_seconds"; then
  timeout 30 "$wine" sc query Log_Service | tr -d '\r'
  messages
  fail "the service never listened on $tcp"
fi
pass "the service listens on TCP $tcp"
$wire record "$tcp" Service Core "" "served by the service" 0 || fail "the record to the service"
service_line() { [ "$(read_tree "$dir/Logs/127.0.0.1/Service/Core")" = $'served by the service\r' ]; }
wait_for service_line || fail "the service's record line"
pass "a record sent to the service landed in Logs\\127.0.0.1\\Service\\Core"

query=$(timeout 30 "$wine" sc query Log_Service | tr -d '\r')
say "$query"
printf '%s\n' "$query" | grep -qE 'STATE +: 4 +RUNNING' || fail "sc query does not show the service running"
pass "sc query shows Log_Service running"
if timeout 30 "$wine" sc interrogate Log_Service >"$work/interrogate.txt" 2>&1; then
  tr -d '\r' <"$work/interrogate.txt" | grep -qE 'STATE +: 4 +RUNNING' ||
    fail "sc interrogate does not answer running"
  pass "sc interrogate answers running"
else
  say "NOTE: Wine's sc.exe has no interrogate command; server_tests.exe interrogates through ControlService"
fi

timeout 30 "$wine" sc stop Log_Service | tr -d '\r' || fail "sc stop"
stopped() { timeout 30 "$wine" sc query Log_Service | tr -d '\r' | grep -qE 'STATE +: 1 +STOPPED'; }
wait_for stopped || fail "the service did not reach STOPPED after sc stop"
pass "sc stop: the service reported STOPPED"
wait_for has_message "Log Server stopped" || fail "the service's last line"
expect_messages "the stop control ran the logged stop sequence" \
  "Service successfully installed
Log Server started
$stop_sequence
Log Server stopped"

# ---- 3. removal ----
rm -rf "$dir/Logs"
write_config 3
run_to_end || fail "the removal run's exit code: $?"
[ "$(saved_run_mode)" = 0 ] || fail "RunMode after the removal: $(saved_run_mode)"
expect_messages "RunMode 3 removed the service and saved RunMode 0" "Service successfully uninstalled"
gone() { ! timeout 30 "$wine" sc query Log_Service >/dev/null 2>&1; }
wait_for gone || fail "sc query still finds Log_Service"
pass "sc query no longer finds Log_Service"
sc_used=

say "ALL PASSED"
exit 0

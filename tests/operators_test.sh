#!/usr/bin/env bash
# What an operator watches of a running zvthostd, with the real tools: a
# Prometheus server scrapes its admin listener over HTTPS while clients
# work and is asked for zvthostd_program_calls_total; promtool checks the
# exposition; zvtadm host status reads /status.
# Usage: operators_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$(cd "$1" && pwd) source=$2
source "$source/tools/host_env.sh"
use_scratch_state
export ZVT_DEMO_PASSWORD=demo-password
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
prometheus_pid=""
stop_all() {
  [ -z "$prometheus_pid" ] || { kill "$prometheus_pid" 2>/dev/null; wait "$prometheus_pid" 2>/dev/null; } || true
  stop_host_and_clean
}
trap stop_all EXIT

"$bin/zvtadm" host import "$source/tools/examples/demo_host.json" >/dev/null
start_host --admin-listen 127.0.0.1:0 --admin-port-file "$work/admin.port"
for _ in $(seq 1200); do [ -s "$work/admin.port" ] && break; sleep 0.05; done
admin=https://127.0.0.1:$(cat "$work/admin.port")
"$bin/zvtadm" system add DEMO_JOE --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --supply-timestamps >/dev/null
load() {  # a few clients' worth of calls: each cleared cache is loaded again
  for _ in 1 2 3; do
    "$bin/zvtadm" cache clear DEMO_JOE >/dev/null 2>&1 || true
    "$bin/zvtadm" value DEMO_JOE QVYN_XD1_ZENTA >/dev/null || fail "a client's question failed"
  done
}
load

# A real Prometheus, scraping every second, trusting the server's certificate.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
prometheus_port=$(free_port)
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: zvthostd
    scheme: https
    tls_config:
      ca_file: $tls_ca
    static_configs:
      - targets: ["127.0.0.1:$(cat "$work/admin.port")"]
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
prometheus_pid=$!
query() {  # query PROMQL: the sum of the instant vector's values, or nothing
  curl -s --get "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1" |
    python3 -c 'import json,sys
d = json.load(sys.stdin)
r = d.get("data", {}).get("result", [])
print(sum(float(x["value"][1]) for x in r) if r else "")' 2>/dev/null || true
}
calls=""
for _ in $(seq 600); do
  calls=$(query 'sum(zvthostd_program_calls_total{outcome="ok"})')
  [ -n "$calls" ] && python3 -c "import sys; sys.exit(0 if $calls > 0 else 1)" && break
  load
  sleep 0.2
done
[ -n "$calls" ] || fail "Prometheus never scraped zvthostd_program_calls_total: $(tail -5 "$work/prometheus.log")"
up=$(query 'up{job="zvthostd"}')
[ "$up" = "1.0" ] || fail "the scrape target is not up ($up)"
ready=$(query 'zvthostd_ready')
[ "$ready" = "1.0" ] || fail "zvthostd_ready is $ready"

# promtool's own check of the exposition.
curl -s --cacert "$tls_ca" "$admin/metrics" >"$work/metrics.txt"
promtool check metrics <"$work/metrics.txt" >"$work/promtool.out" 2>&1 ||
  fail "promtool check metrics: $(cat "$work/promtool.out")"

# zvtadm host status: readiness and figures, in words and in JSON.
"$bin/zvtadm" host status --server "$admin" --ca "$tls_ca" >"$work/status" ||
  fail "host status exited $?: $(cat "$work/status")"
grep -q '^ready: *yes$' "$work/status" || fail "host status: $(cat "$work/status")"
grep -q '^calls: *[1-9][0-9]* (' "$work/status" || fail "host status counts no calls: $(cat "$work/status")"
grep -q '^certificate: *valid until 20' "$work/status" || fail "no certificate line: $(cat "$work/status")"
"$bin/zvtadm" --json host status --server "$admin" --ca "$tls_ca" >"$work/status.json"
python3 -c "import json; d = json.load(open('$work/status.json')); assert d['ready'] and d['calls'] > 0, d" ||
  fail "host status --json: $(cat "$work/status.json")"
# Not trusting the certificate, or nobody there: exit 1 and one line that
# says the address and why.
got=0
"$bin/zvtadm" host status --server "$admin" >/dev/null 2>"$work/err" || got=$?
[ "$got" = 1 ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -q "127.0.0.1" "$work/err" ||
  fail "an untrusted certificate: exit $got, $(cat "$work/err")"
got=0
"$bin/zvtadm" host status --server "http://127.0.0.1:$(free_port)" >/dev/null 2>"$work/err" || got=$?
[ "$got" = 1 ] && grep -q "127.0.0.1" "$work/err" || fail "nobody there: exit $got, $(cat "$work/err")"

[ "$failures" = 0 ] || exit 1
echo "operators ok"

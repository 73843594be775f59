#!/usr/bin/env bash
# A private PostgreSQL server for the tests, in a directory of its own:
#   tools/test_postgres.sh start DIR   initdb and start it; prints the URI
#                                      the tests take as $ZVT_TEST_POSTGRES
#   tools/test_postgres.sh stop DIR    stop it and remove DIR
# It listens on a Unix socket in DIR only (no TCP port), trusts local
# connections, and runs as an unprivileged user: the caller, or "postgres"
# (else "nobody") when the caller is root, as PostgreSQL refuses root.
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?directory}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bindir/initdb" ] || { echo "test_postgres: PostgreSQL's server programs are not installed" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    local user=postgres
    id "$user" >/dev/null 2>&1 || user=nobody
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}

case "$cmd" in
  start)
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
      id postgres >/dev/null 2>&1 && chown postgres "$dir" || chown nobody "$dir"
    fi
    as_owner "$bindir/initdb" -D "$dir/data" -U zvt --auth=trust -E UTF8 --no-locale >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    # Durability is not what these tests check: no fsync, for speed.
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir -c listen_addresses='' -c fsync=off -c synchronous_commit=off -c max_connections=400" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql://zvt@/postgres?host=$dir"
    ;;
  stop)
    [ -d "$dir/data" ] && as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac

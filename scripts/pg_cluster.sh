#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and the PostgreSQL example:
#
#   eval "$(scripts/pg_cluster.sh start DIR)"   # prints the exports below
#   scripts/pg_cluster.sh stop DIR              # stops it and removes DIR
#
# The cluster lives in DIR (data, log and socket), listens on a Unix socket
# in DIR only (no TCP port to collide with another server) and trusts local
# connections as the superuser "zorva". Debian's server is installed when
# missing. The server refuses to run as root, so under root it runs as the
# "postgres" system user (created if missing); otherwise as the caller.
# start prints the libpq variables (PGHOST, PGPORT, PGUSER, PGDATABASE) and
# ZORVA_PG_DSN, the same server as a postgresql:// URL.
set -euo pipefail
cmd=${1:-}
dir=${2:-}
if [ -z "$dir" ] || { [ "$cmd" != start ] && [ "$cmd" != stop ]; }; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi

as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  id -u postgres >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --shell /usr/sbin/nologin postgres
  as_owner=(runuser -u postgres --)
fi

bindir() { ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1; }

if [ "$cmd" = stop ]; then
  bin=$(bindir)
  if [ -f "$dir/data/postmaster.pid" ]; then
    (cd "$dir" && "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null)
  fi
  rm -rf "$dir"
  exit 0
fi

if [ -z "$(bindir)" ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "installing Debian's PostgreSQL server" >&2
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq postgresql >/dev/null
fi
bin=$(bindir)
port=5432  # names the socket file in DIR; no TCP port is opened

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
chmod 755 "$dir"
[ ${#as_owner[@]} -eq 0 ] || chown postgres: "$dir"
cd "$dir"  # the server's user may not be able to read the caller's folder
if [ ! -f data/PG_VERSION ]; then
  "${as_owner[@]}" "$bin/initdb" -D "$dir/data" -U zorva --auth=trust --encoding=UTF8 \
    --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
fi
if ! "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
  "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -p $port" start >/dev/null ||
    { cat "$dir/server.log" >&2; exit 1; }
fi
if ! "$bin/psql" -h "$dir" -p "$port" -U zorva -d postgres -XAtqc \
    "SELECT 1 FROM pg_database WHERE datname = 'zorva'" | grep -q 1; then
  "$bin/psql" -h "$dir" -p "$port" -U zorva -d postgres -Xqc "CREATE DATABASE zorva" >/dev/null
fi
cat <<EOF
export PGHOST='$dir' PGPORT=$port PGUSER=zorva PGDATABASE=zorva
export ZORVA_PG_DSN='postgresql://zorva@/zorva?host=$dir&port=$port'
EOF

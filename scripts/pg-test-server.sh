#!/usr/bin/env bash
# A throw-away PostgreSQL cluster on 127.0.0.1 for the tests (trust authentication, no fsync),
# serving TLS from a throw-away self-signed certificate, as the program asks for encryption.
#   scripts/pg-test-server.sh start DIR PORT   makes and starts it in DIR (which must be empty or
#                                              missing); prints the libpq keywords for
#                                              BELCARA_TEST_PG
#   scripts/pg-test-server.sh stop DIR         stops it and removes DIR
# As root, the server runs as the user postgres (initdb refuses root).
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "pg-test-server: no PostgreSQL server binaries under /usr/lib/postgresql" >&2
  exit 1
fi
as=()
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  as=(runuser -u postgres --)
  user=postgres
fi

case "${1:-}" in
start)
  dir=$2
  port=$3
  mkdir -p "$dir"
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir"; fi
  "${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -E UTF8 --locale=C.UTF-8 -N >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
  openssl req -new -x509 -days 7 -nodes -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
    -newkey rsa:2048 -keyout "$dir/data/server.key" -out "$dir/data/server.crt" >"$dir/openssl.log" 2>&1 \
    || { cat "$dir/openssl.log" >&2; exit 1; }
  chmod 600 "$dir/data/server.key"
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir/data/server.key" "$dir/data/server.crt"; fi
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -w -l "$dir/server.log" \
    -o "-k $dir -p $port -c listen_addresses=127.0.0.1 -c ssl=on" start >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  echo "host=127.0.0.1 port=$port user=$user dbname=postgres"
  ;;
stop)
  dir=$2
  if [ -d "$dir/data" ]; then
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start DIR PORT | stop DIR" >&2
  exit 2
  ;;
esac

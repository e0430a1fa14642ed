#!/usr/bin/env bash
# Starts a PostgreSQL server of its own for the tests, in a fresh folder, on loopback, and
# prints the address the tests take from OTP_TEST_POSTGRES. The server runs as the
# postgres user (it refuses to run as root). "stop FOLDER" stops it and removes the folder.
#   scripts/postgres-for-tests.sh start PORT   -> prints FOLDER and the address
#   scripts/postgres-for-tests.sh start free   -> the same on a free port below the
#                                                 system's ephemeral range
#   scripts/postgres-for-tests.sh stop FOLDER
#   scripts/postgres-for-tests.sh pause FOLDER        (the server stops, its data stays)
#   scripts/postgres-for-tests.sh resume FOLDER PORT  (and starts again)
set -euo pipefail
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then
    su postgres -s /bin/sh -c "$*"
  else
    sh -c "$*"
  fi
}
case "${1:-}" in
  start)
    port=$2
    folder=$(mktemp -d /tmp/otp-postgres.XXXXXX)
    chmod 755 "$folder"
    if [ "$(id -u)" -eq 0 ]; then chown postgres "$folder"; fi
    as_postgres "'$bin/initdb' -D '$folder/data' -A trust -U postgres > '$folder/initdb.log' 2>&1"
    candidates=$port
    if [ "$port" = free ]; then candidates=$(shuf -i 20000-29999 -n 20); fi
    started=""
    for port in $candidates; do
      # A port someone listens on already is passed over; a start that fails too.
      if command -v ss > /dev/null && ss -ltnH "sport = :$port" | grep -q .; then continue; fi
      if as_postgres "'$bin/pg_ctl' -D '$folder/data' -l '$folder/server.log' -w \
        -o \"-h 127.0.0.1 -p $port -k '$folder'\" start > /dev/null"; then
        started=$port
        break
      fi
    done
    if [ -z "$started" ]; then
      echo "no PostgreSQL server could start (ports tried: $candidates)" >&2
      exit 1
    fi
    as_postgres "'$bin/createdb' -h 127.0.0.1 -p $started -U postgres otp_test"
    echo "$folder postgresql://postgres@127.0.0.1:$started/otp_test"
    ;;
  pause)
    folder=$2
    as_postgres "'$bin/pg_ctl' -D '$folder/data' -m fast -w stop > /dev/null"
    ;;
  resume)
    folder=$2
    port=$3
    as_postgres "'$bin/pg_ctl' -D '$folder/data' -l '$folder/server.log' -w \
      -o \"-h 127.0.0.1 -p $port -k '$folder'\" start > /dev/null"
    ;;
  stop)
    folder=$2
    as_postgres "'$bin/pg_ctl' -D '$folder/data' -m fast -w stop > /dev/null" || true
    rm -rf "$folder"
    ;;
  *)
    echo "usage: $0 start PORT | stop FOLDER | pause FOLDER | resume FOLDER PORT" >&2
    exit 2
    ;;
esac

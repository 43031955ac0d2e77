#!/usr/bin/env bash
# Make sure the MariaDB server binaries the test suite needs are present.
#
# The tests never use a system MariaDB service: they start private throwaway
# servers from these binaries.  So the packages are installed without
# starting (or stopping) any service, and a server that is already running
# on this machine is left alone.
#
# Safe to run repeatedly: when the binaries are there it only says so.
set -euo pipefail

find_bin() {
    local name dir
    for name in "$@"; do
        if command -v "$name" >/dev/null 2>&1; then
            command -v "$name"
            return 0
        fi
        for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
            if [ -x "$dir/$name" ]; then
                echo "$dir/$name"
                return 0
            fi
        done
    done
    return 1
}

have_binaries() {
    server=$(find_bin mariadbd mysqld) && install_db=$(find_bin mariadb-install-db mysql_install_db)
}

if have_binaries; then
    echo "ensure_mariadb: MariaDB binaries present ($server, $install_db); nothing to do."
    exit 0
fi

if [ -n "${ORVELKIT_TEST_MYSQL_HOST:-}" ]; then
    echo "ensure_mariadb: no MariaDB binaries, but ORVELKIT_TEST_MYSQL_HOST is set;" \
         "the tests will use that server."
    exit 0
fi

explain_and_fail() {
    cat >&2 <<EOF
ensure_mariadb: cannot install MariaDB here ($1).
The tests need either
  * the MariaDB server binaries (mariadbd and mariadb-install-db), e.g.
      sudo apt-get install --no-install-recommends mariadb-server mariadb-client
  * or an existing server the tests may create databases and users on:
      export ORVELKIT_TEST_MYSQL_HOST=127.0.0.1 ORVELKIT_TEST_MYSQL_PORT=3306
      export ORVELKIT_TEST_MYSQL_USER=root ORVELKIT_TEST_MYSQL_PASSWORD=...
EOF
    exit 1
}

[ "$(id -u)" -eq 0 ] || explain_and_fail "not running as root"
command -v apt-get >/dev/null 2>&1 || explain_and_fail "apt-get is not available"

# Debian's maintainer scripts start the service through invoke-rc.d, which
# asks policy-rc.d first; exit code 101 means "action forbidden".  Any
# policy-rc.d that was there before is put back afterwards.
policy=/usr/sbin/policy-rc.d
backup=""
if [ -e "$policy" ]; then
    backup=$(mktemp /usr/sbin/policy-rc.d.orvelkit.XXXXXX)
    cp -p "$policy" "$backup"
fi
restore_policy() {
    if [ -n "$backup" ]; then
        mv -f "$backup" "$policy"
    else
        rm -f "$policy"
    fi
}
trap restore_policy EXIT
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 755 "$policy"

echo "ensure_mariadb: installing mariadb-server and mariadb-client (service not started)"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    mariadb-server mariadb-client

if have_binaries; then
    echo "ensure_mariadb: installed ($server, $install_db)."
else
    echo "ensure_mariadb: packages installed but mariadbd/mariadb-install-db still not found." >&2
    exit 1
fi

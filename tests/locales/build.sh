#!/usr/bin/env bash
# Builds the decimal-comma locales that tests run under into a folder of the build (their
# LOCPATH), from the C library's locale sources (Debian package locales): test machines seldom
# have them installed, and a test run needs no root.
set -euo pipefail
dir=$1
mkdir -p "$dir"
for name in de_DE fr_FR; do
    if [ ! -f "$dir/$name.UTF-8/LC_NUMERIC" ]; then
        # localedef warns, with exit status 1, about things of no concern here.
        localedef -i "$name" -f UTF-8 "$dir/$name.UTF-8" || [ -f "$dir/$name.UTF-8/LC_NUMERIC" ]
    fi
    point=$(LOCPATH=$dir LC_ALL=$name.UTF-8 locale decimal_point)
    if [ "$point" != "," ]; then
        echo "the locale $name.UTF-8 built in $dir writes '$point', not a decimal comma" >&2
        exit 1
    fi
done

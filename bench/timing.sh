# Timing shared by the export benchmarks, sourced after the script defines clean(): what to
# remove before each run, so that every export writes a new file.

seconds() {  # command...: its wall time
  local start end
  clean
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
least() { awk -v t="$1" -v b="$2" 'BEGIN { print (b == "" || t < b) ? t : b }'; }
peak() {  # command...: its peak memory in KiB
  clean
  /usr/bin/time -f '%M' "$@" 2>&1 > /dev/null | tail -n 1
}

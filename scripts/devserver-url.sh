# Sourced by run.sh and test.sh.
# devserver_url PID LOG: prints the address the stand-in services announced in LOG, waiting up to
# 10 s; fails (printing the log to stderr) when the process ends or never says it.
devserver_url() {
  local pid=$1 log=$2 url=""
  for _ in $(seq 100); do
    url=$(grep -oE 'listening on http://[0-9.]+:[0-9]+' "$log" | head -1 | sed 's/listening on //') || true
    [[ -n "$url" ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z "$url" ]]; then
    echo "The stand-in services did not start:" >&2
    cat "$log" >&2
    return 1
  fi
  echo "$url"
}

#!/bin/bash
# A throw-away nginx on a free 127.0.0.1 port, for tests and benchmarks.
#
#   serve.sh start WORKDIR ROOT [EXTRA [HTTP_EXTRA [CERT KEY]]]
#       Serves the directory ROOT. EXTRA is copied into the server block
#       ("limit_rate 50m;", "max_ranges 0;", ...), HTTP_EXTRA into the http
#       block (zones: "limit_req_zone ...;"). With CERT and KEY (PEM files) it
#       serves HTTPS with that certificate chain and key instead. Configuration, pid file and
#       logs go to WORKDIR (created). When nginx serves, the port is written to
#       WORKDIR/port and printed; when no port could be had, WORKDIR/failed
#       appears and the exit code is 1.
#   serve.sh stop WORKDIR
#       Stops that nginx, waiting at most 5 s before killing it, then creates
#       WORKDIR/stopped.
#
# The access log WORKDIR/access.log has one line per request:
#   METHOD URI RANGE-HEADER STATUS BODY-BYTES-SENT
# with "-" for a request without Range.
set -u
cmd=${1:-}
work=${2:-}
[ -n "$cmd" ] && [ -n "$work" ] || { echo "usage: serve.sh start|stop WORKDIR [ROOT [EXTRA]]" >&2; exit 2; }
nginx=/usr/sbin/nginx

case "$cmd" in
start)
  root=${3:?root directory}
  extra=${4:-}
  http_extra=${5:-}
  cert=${6:-}
  key=${7:-}
  tls=
  if [ -n "$cert" ]; then
    tls="ssl_certificate $cert; ssl_certificate_key $key;"
  fi
  mkdir -p "$work/tmp"
  rm -f "$work/port" "$work/failed" "$work/stopped"
  for attempt in $(seq 1 40); do
    port=$((20000 + (RANDOM * 32768 + RANDOM + $$ + attempt * 7919) % 40000))
    cat > "$work/nginx.conf" <<CONF
daemon on;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 256; }
http {
  log_format bytes '\$request_method \$uri "\$http_range" \$status \$body_bytes_sent';
  access_log $work/access.log bytes;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  $http_extra
  server {
    listen 127.0.0.1:$port${tls:+ ssl};
    $tls
    root $root;
    $extra
  }
}
CONF
    if "$nginx" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" 2>>"$work/start.log"; then
      for _ in $(seq 1 250); do
        [ -s "$work/nginx.pid" ] && break
        sleep 0.02
      done
      echo "$port" > "$work/port.tmp" && mv "$work/port.tmp" "$work/port"
      echo "$port"
      exit 0
    fi
    grep -q "Address already in use" "$work/start.log" 2>/dev/null || break
  done
  touch "$work/failed"
  exit 1
  ;;
stop)
  if [ -s "$work/nginx.pid" ]; then
    pid=$(cat "$work/nginx.pid")
    kill -TERM "$pid" 2>/dev/null
    # The daemon's parent is the system's first process, which may take a
    # second or two to reap it: an ended nginx (a zombie) counts as stopped.
    for _ in $(seq 1 250); do
      kill -0 "$pid" 2>/dev/null || break
      state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null) && [ "${state%% *}" = Z ] && break
      sleep 0.02
    done
    kill -KILL "$pid" 2>/dev/null
  fi
  touch "$work/stopped"
  ;;
*)
  echo "unknown command $cmd" >&2
  exit 2
  ;;
esac

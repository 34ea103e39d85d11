# Debian's nginx on 127.0.0.1 at a free port, for the fetch's tests, its benchmark and the demo
# over a feed. Source it; it defines functions only.

# start_nginx PROGRAM DIR HTTP_BODY: nginx with its configuration, pid, logs and temporary paths
# in DIR, the http block's body printed by the function HTTP_BODY (which sees $port). A taken
# port makes nginx refuse to start, and then another is tried. Sets port and nginx_pid (a child
# of this shell); false, with nginx's error log on standard error, after five ports.
start_nginx() {
  local program=$1 dir=$2 body=$3 try
  for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    {
      printf 'worker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n' "$dir" "$dir"
      printf 'events { worker_connections 64; }\nhttp {\n'
      "$body"
      printf '}\n'
    } > "$dir/nginx.conf"
    "$program" -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log" -g 'daemon off;' &
    nginx_pid=$!
    for _ in $(seq 50); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$nginx_pid" 2>/dev/null && return 0
    wait "$nginx_pid" || true
    nginx_pid=
  done
  cat "$dir/error.log" >&2
  return 1
}

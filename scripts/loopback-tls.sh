# Sourced by the instruction-count scripts: a test authority with a server
# certificate for 127.0.0.1, a free loopback port, and a TLS front that
# forwards to a plain HTTP server on loopback.
#   test_ca DIR             makes DIR/ca.pem, DIR/server.pem and DIR/server.key
#   free_port               prints a free port of 127.0.0.1
#   tls_front PORT DIR      serves TLS on PORT with DIR's certificate and
#                           forwards to 127.0.0.1:$http_port; sets tls_pid
test_ca() {
  (cd "$1" &&
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj '/CN=Orvado Test CA' \
      -keyout ca.key -out ca.pem &&
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
      -keyout server.key -out server.csr &&
    printf 'subjectAltName=IP:127.0.0.1\n' >san.ext &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext \
      -out server.pem) >/dev/null 2>&1
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

tls_front() {
  socat "OPENSSL-LISTEN:$1,bind=127.0.0.1,reuseaddr,fork,verify=0,cert=$2/server.pem,key=$2/server.key" \
    "TCP:127.0.0.1:$http_port" 2>/dev/null &
  tls_pid=$!
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1); socket.create_connection(('127.0.0.1', $http_port), 1)" \
      2>/dev/null && return 0
    sleep 0.1
  done
}

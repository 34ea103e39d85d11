// A test tool: an HTTP proxy on the loopback in front of a local server that plays one fault on
// the requests whose path holds a given text, a given number of times, and passes everything
// else through. One connection at a time, each closed after its answer. It prints its port on
// the first line and ends by itself after ten minutes.
//
//   fault_proxy UPSTREAM_PORT MATCH FAULT TIMES
//   FAULT: cut:N (the answer cut after N bytes), status:CODE (that status, an HTML page),
//          html (200 with an HTML page), stall (the answer's head, then nothing), no-range
//          (the request's Range header dropped)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Socket {
  int fd = -1;
  explicit Socket(int descriptor) : fd(descriptor) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

bool SendAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// The request's head with Connection (and Range when dropRange) removed and "Connection:
// close" added.
std::string Rewritten(const std::string& head, bool dropRange) {
  std::string out;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    if (line.empty()) break;
    std::string lower;
    for (const char c : line) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("connection:", 0) == 0 || (dropRange && lower.rfind("range:", 0) == 0)) continue;
    out += line + "\r\n";
  }
  return out + "Connection: close\r\n\r\n";
}

void Serve(int client, std::uint16_t upstreamPort, const std::string& match,
           const std::string& fault, int& times) {
  std::string head;
  char piece[65536];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const ssize_t got = recv(client, piece, sizeof piece, 0);
    if (got <= 0) return;
    head.append(piece, static_cast<std::size_t>(got));
  }
  const std::string requestLine = head.substr(0, head.find("\r\n"));
  const bool faulty = times > 0 && requestLine.find(match) != std::string::npos;
  if (faulty) --times;
  if (faulty && (fault.rfind("status:", 0) == 0 || fault == "html")) {
    const std::string code = fault == "html" ? "200" : fault.substr(7);
    const std::string page = "<html><body>" + code + "</body></html>";
    const std::string answer = "HTTP/1.1 " + code + " Fault\r\nContent-Type: text/html\r\n"
                               "Content-Length: " + std::to_string(page.size()) +
                               "\r\nConnection: close\r\n\r\n" + page;
    SendAll(client, answer.data(), answer.size());
    return;
  }
  Socket upstream(socket(AF_INET, SOCK_STREAM, 0));
  // A small receive buffer: what the server counts as sent is little more than what passed.
  const int buffer = 65536;
  setsockopt(upstream.fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  const sockaddr_in address = Loopback(upstreamPort);
  if (connect(upstream.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
  const std::string request = Rewritten(head, faulty && fault == "no-range");
  if (!SendAll(upstream.fd, request.data(), request.size())) return;
  long long budget = faulty && fault.rfind("cut:", 0) == 0 ? std::atoll(fault.c_str() + 4) : -1;
  for (;;) {
    const ssize_t got = recv(upstream.fd, piece, sizeof piece, 0);
    if (got <= 0) return;
    std::size_t size = static_cast<std::size_t>(got);
    if (faulty && fault == "stall") {
      // The head alone (it fits the first read of a small answer), then nothing until the
      // client gives up (at most a minute).
      const std::string answer(piece, size);
      const std::size_t body = answer.find("\r\n\r\n");
      SendAll(client, piece, body == std::string::npos ? size : body + 4);
      pollfd wait{client, POLLIN, 0};
      poll(&wait, 1, 60000);
      return;
    }
    if (budget >= 0 && static_cast<long long>(size) > budget) size = static_cast<std::size_t>(budget);
    if (!SendAll(client, piece, size)) return;
    if (budget >= 0 && (budget -= static_cast<long long>(size)) == 0) return;  // the cut
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: fault_proxy UPSTREAM_PORT MATCH FAULT TIMES\n");
    return 2;
  }
  const auto upstreamPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const std::string match = argv[2], fault = argv[3];
  int times = std::atoi(argv[4]);
  std::signal(SIGPIPE, SIG_IGN);
  Socket listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.fd, 16) != 0 ||
      getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("fault_proxy");
    return 1;
  }
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (std::chrono::steady_clock::now() < end) {
    pollfd ready{listener.fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    Socket client(accept(listener.fd, nullptr, nullptr));
    if (client.fd >= 0) Serve(client.fd, upstreamPort, match, fault, times);
  }
  return 0;
}

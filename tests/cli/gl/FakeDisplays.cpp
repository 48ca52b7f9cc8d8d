#include "FakeDisplays.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace TestSupport {

namespace {

// A socket of a free display number under /tmp/.X11-unix, listening; its display name, or empty.
std::string listenAsDisplay(int& listening, int from) {
  listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  for (int n = from; n < from + 100; ++n) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "/tmp/.X11-unix/X%d", n);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(listening, 8) == 0) {
      return ":" + std::to_string(n);
    }
  }
  return "";
}

// A connection to the local display of the name (":N"), or -1.
int connectTo(const char* display) {
  if (display == nullptr || display[0] != ':') return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "/tmp/.X11-unix/X%d", std::atoi(display + 1));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  close(fd);
  return -1;
}

}  // namespace

const std::string& silentDisplay() {
  static const std::string name = [] {
    int listening = -1;
    const std::string display = listenAsDisplay(listening, 400);
    if (display.empty()) return std::string("no display number free");
    static const std::string path = "/tmp/.X11-unix/X" + display.substr(1);
    std::atexit([] { unlink(path.c_str()); });
    return display;
  }();
  return name;
}

FirstConnectionDisplay::FirstConnectionDisplay(LaterConnections later)
    : mLater(later), mName(listenAsDisplay(mListening, 500)) {
  if (pipe2(mStop, O_CLOEXEC) == 0) mRelay = std::thread([this] { relay(); });
}

FirstConnectionDisplay::~FirstConnectionDisplay() {
  if (mRelay.joinable()) {
    (void)!write(mStop[1], "x", 1);
    mRelay.join();
  }
  for (const int fd : {mListening, mStop[0], mStop[1]}) close(fd);
  unlink(("/tmp/.X11-unix/X" + mName.substr(1)).c_str());
}

namespace {
// A client's connection and the one relaying it to the real display; a connection left
// unanswered has no relay.
struct Link {
  int client = -1;
  int server = -1;
  bool setupOnly = false;  // closed once the server's set-up reply has been relayed
  std::string setup;       // the reply's bytes so far, while setupOnly
  bool countsWindows = false;
  std::string requests;  // the client's bytes not yet parsed, while countsWindows
  bool setUpSent = false;
  int windows = 0;  // CreateWindow requests sent
};

// Takes the client's complete requests (little-endian, after a 12-byte set-up header and its
// padded authorisation name and data) off `link.requests`, counting CreateWindow (opcode 1).
void countWindows(Link& link) {
  const auto u16 = [&link](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(link.requests[at]) |
                                    static_cast<unsigned char>(link.requests[at + 1]) << 8);
  };
  for (;;) {
    std::size_t size = 0;
    if (!link.setUpSent) {
      if (link.requests.size() < 12) return;
      size = 12 + (u16(6) + 3) / 4 * 4 + (u16(8) + 3) / 4 * 4;
    } else {
      if (link.requests.size() < 8) return;
      size = u16(2) != 0 ? 4 * u16(2) : 4 * (u16(4) | u16(6) << 16);  // 0: the big-requests length follows
    }
    if (size == 0 || link.requests.size() < size) return;
    if (link.setUpSent && link.requests[0] == 1) ++link.windows;
    link.setUpSent = true;
    link.requests.erase(0, size);
  }
}

// Whether `setup` holds the whole set-up reply: 8 bytes, then 4 bytes per unit of the length in
// bytes 6 and 7 (in the client's byte order, little-endian here).
bool setupComplete(const std::string& setup) {
  if (setup.size() < 8) return false;
  const std::size_t units = static_cast<unsigned char>(setup[6]) | static_cast<unsigned char>(setup[7]) << 8;
  return setup.size() >= 8 + 4 * units;
}
}  // namespace

void FirstConnectionDisplay::relay() {
  std::vector<Link> links;
  for (;;) {
    std::vector<pollfd> fds = {{mStop[0], POLLIN, 0}, {mListening, POLLIN, 0}};
    for (const Link& link : links)
      if (link.server >= 0 && link.windows < 3) fds.insert(fds.end(), {{link.client, POLLIN, 0}, {link.server, POLLIN, 0}});
    if (poll(fds.data(), fds.size(), -1) < 0 || fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      Link& link = links.emplace_back();
      link.client = accept4(mListening, nullptr, nullptr, SOCK_CLOEXEC);
      if (links.size() == 1 || mLater != LaterConnections::Unanswered) link.server = connectTo(std::getenv("DISPLAY"));
      link.setupOnly = links.size() > 1 && mLater == LaterConnections::ClosedAfterSetUp;
      link.countsWindows = links.size() > 1 && (mLater == LaterConnections::StalledAtThirdWindow ||
                                                mLater == LaterConnections::ClosedAtThirdWindow);
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Link& link = *std::find_if(links.begin(), links.end(),
                                 [&](const Link& l) { return l.client == fds[i].fd || l.server == fds[i].fd; });
      char bytes[65536];
      const ssize_t n = read(fds[i].fd, bytes, sizeof(bytes));
      const bool fromServer = fds[i].fd == link.server;
      const int to = fromServer ? link.client : link.server;
      if (n > 0 && fromServer && link.setupOnly) link.setup.append(bytes, static_cast<std::size_t>(n));
      if (n > 0 && !fromServer && link.countsWindows) {
        link.requests.append(bytes, static_cast<std::size_t>(n));
        countWindows(link);
      }
      if (n <= 0 || write(to, bytes, static_cast<std::size_t>(n)) != n ||
          (link.setupOnly && setupComplete(link.setup)) ||
          (mLater == LaterConnections::ClosedAtThirdWindow && link.windows >= 3)) {
        // The relay ends: a later connection is then closed, the first stays unanswered.
        close(link.server);
        link.server = -1;
        if (link.setupOnly || link.countsWindows) shutdown(link.client, SHUT_RDWR);
        break;
      }
    }
  }
  for (const Link& link : links) {
    close(link.client);
    if (link.server >= 0) close(link.server);
  }
}

}  // namespace TestSupport

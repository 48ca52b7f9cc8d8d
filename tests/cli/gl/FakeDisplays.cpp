#include "FakeDisplays.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

FirstConnectionDisplay::FirstConnectionDisplay() : mName(listenAsDisplay(mListening, 500)) {
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

void FirstConnectionDisplay::relay() {
  std::vector<int> accepted;
  int upstream = -1;
  std::vector<pollfd> fds;
  for (;;) {
    fds = {{mStop[0], POLLIN, 0}, {mListening, POLLIN, 0}};
    if (upstream >= 0) fds.insert(fds.end(), {{accepted.front(), POLLIN, 0}, {upstream, POLLIN, 0}});
    if (poll(fds.data(), fds.size(), -1) < 0 || fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      accepted.push_back(accept4(mListening, nullptr, nullptr, SOCK_CLOEXEC));
      if (accepted.size() == 1) upstream = connectTo(std::getenv("DISPLAY"));
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char bytes[65536];
      const ssize_t n = read(fds[i].fd, bytes, sizeof(bytes));
      const int to = fds[i].fd == upstream ? accepted.front() : upstream;
      if (n <= 0 || write(to, bytes, static_cast<std::size_t>(n)) != n) {
        close(upstream);
        upstream = -1;  // the relayed connection ended: the next ones stay unanswered as before
        break;
      }
    }
  }
  for (const int fd : accepted) close(fd);
  if (upstream >= 0) close(upstream);
}

}  // namespace TestSupport

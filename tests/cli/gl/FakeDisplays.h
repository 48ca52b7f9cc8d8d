#pragma once
// X displays that misbehave, for runs of the executable: one that never answers, and one that
// answers only its first connection fully, the later ones not at all or only up to a point. Each
// listens on a free display number under /tmp/.X11-unix.

#include <string>
#include <thread>

namespace TestSupport {

/// A display that accepts connections (the kernel does, into the listening queue) and never
/// answers them, for the whole test run. Its name, such as ":400".
const std::string& silentDisplay();

/// What a `FirstConnectionDisplay` does with the connections after its first.
enum class LaterConnections {
  Unanswered,        // accepted and never answered
  ClosedAfterSetUp,  // answered (the set-up relayed) and closed at once
  // Relayed until the client asks for its third window, then never answered again: the window
  // library's connection makes a helper window and the hidden window while OpenGL starts, so it
  // stalls when a renderer opens a window of its own.
  StalledAtThirdWindow,
  ClosedAtThirdWindow,  // relayed likewise, then closed
};

/// A display that answers only its first connection, as a forwarded display whose far end goes
/// away after one client: that connection is relayed to the test's own display (DISPLAY); later
/// ones as `later` says. Lives as long as the object.
class FirstConnectionDisplay {
 public:
  explicit FirstConnectionDisplay(LaterConnections later = LaterConnections::Unanswered);
  ~FirstConnectionDisplay();
  FirstConnectionDisplay(const FirstConnectionDisplay&) = delete;
  FirstConnectionDisplay& operator=(const FirstConnectionDisplay&) = delete;
  const std::string& name() const { return mName; }

 private:
  void relay();

  LaterConnections mLater = LaterConnections::Unanswered;
  int mListening = -1;
  int mStop[2] = {-1, -1};
  std::string mName;
  std::thread mRelay;
};

}  // namespace TestSupport

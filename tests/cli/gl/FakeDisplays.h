#pragma once
// X displays that misbehave, for runs of the executable: one that never answers, and one that
// answers only its first connection. Each listens on a free display number under /tmp/.X11-unix.

#include <string>
#include <thread>

namespace TestSupport {

/// A display that accepts connections (the kernel does, into the listening queue) and never
/// answers them, for the whole test run. Its name, such as ":400".
const std::string& silentDisplay();

/// A display that answers only its first connection, as a forwarded display whose far end goes
/// away after one client: that connection is relayed to the test's own display (DISPLAY). Every
/// later one is accepted and never answered, or, when `closesLater`, answered (its set-up relayed)
/// and closed at once. Lives as long as the object.
class FirstConnectionDisplay {
 public:
  explicit FirstConnectionDisplay(bool closesLater = false);
  ~FirstConnectionDisplay();
  FirstConnectionDisplay(const FirstConnectionDisplay&) = delete;
  FirstConnectionDisplay& operator=(const FirstConnectionDisplay&) = delete;
  const std::string& name() const { return mName; }

 private:
  void relay();

  bool mClosesLater = false;
  int mListening = -1;
  int mStop[2] = {-1, -1};
  std::string mName;
  std::thread mRelay;
};

}  // namespace TestSupport

#include "Core/Log.h"

namespace Lumetra {
namespace detail {
LogSink& logSink() {
  static LogSink sink = nullptr;
  return sink;
}
}  // namespace detail

void setLogSink(detail::LogSink sink) { detail::logSink() = sink; }
}  // namespace Lumetra

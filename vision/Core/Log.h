#pragma once
// Diagnostic messages of the libraries. They are formatted with "{}" placeholders under
// the library's tag and then dropped: the libraries never write to the console; only
// the command-line program talks to the user.
#include <fmt/format.h>

#include <string>
#include <utility>

namespace Lumetra {

enum class LogLevel { Debug, Info, Warning, Error };

namespace detail {
// The sink receives every formatted message. It is empty in the product; tests may set one.
using LogSink = void (*)(LogLevel level, const char* tag, const std::string& message);
LogSink& logSink();
}  // namespace detail

/// Installs a receiver for diagnostic messages (nullptr removes it). Not thread-safe:
/// set it before any work starts.
void setLogSink(detail::LogSink sink);

template <typename... Args>
void log(LogLevel level, const char* tag, fmt::format_string<Args...> format, Args&&... args) {
  std::string message = fmt::format(format, std::forward<Args>(args)...);
  if (detail::LogSink sink = detail::logSink()) sink(level, tag, message);
}

}  // namespace Lumetra

#define LUMETRA_LOG_INFO(...) ::Lumetra::log(::Lumetra::LogLevel::Info, "Lumetra", __VA_ARGS__)
#define LUMETRA_LOG_WARN(...) ::Lumetra::log(::Lumetra::LogLevel::Warning, "Lumetra", __VA_ARGS__)
#define LUMETRA_LOG_ERROR(...) ::Lumetra::log(::Lumetra::LogLevel::Error, "Lumetra", __VA_ARGS__)
#define OBRIN_LOG_INFO(...) ::Lumetra::log(::Lumetra::LogLevel::Info, "Obrin", __VA_ARGS__)
#define OBRIN_LOG_WARN(...) ::Lumetra::log(::Lumetra::LogLevel::Warning, "Obrin", __VA_ARGS__)
#define OBRIN_LOG_ERROR(...) ::Lumetra::log(::Lumetra::LogLevel::Error, "Obrin", __VA_ARGS__)

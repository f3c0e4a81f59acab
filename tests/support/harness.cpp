#include "tests/support/harness.h"

#include "platform/posix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace cstest {

TempHome::TempHome() {
  if (!ok()) {
    ADD_FAILURE() << "no temporary directory";
  }
}

TempHome::~TempHome() {
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "test files kept in %s\n", path().c_str());
    keep();
  }
}

std::string binaryPath() {
  return CS_BINARY_PATH;
}

StandinApp::StandinApp(const std::string& socketPath)
    : m_app(socketPath, [this](int fd) { handle(fd); }) {}

void StandinApp::answer(std::vector<std::string> pieces, int pieceDelayMs) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_mode = Mode::Answer;
  m_pieces = std::move(pieces);
  m_delayMs = pieceDelayMs;
}

void StandinApp::setMode(Mode mode) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_mode = mode;
}

std::vector<std::string> StandinApp::requests() {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_requests;
}

void StandinApp::handle(int fd) {
  std::string line = testkit::readRequestLine(fd, testkit::Clock::now() + 10s);
  std::unique_lock<std::mutex> hold(m_mutex);
  m_requests.push_back(line);
  Mode mode = m_mode;
  auto pieces = m_pieces;
  int delay = m_delayMs;
  hold.unlock();
  // Silent until the test ends (bounded).
  for (int i = 0; mode == Mode::NeverAnswer && i < 600 && !m_app.stopping(); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  for (const auto& piece : pieces) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (mode != Mode::Answer || !platform::writeAll(fd, piece.data(), piece.size())) {
      return;
    }
  }
}

}  // namespace cstest

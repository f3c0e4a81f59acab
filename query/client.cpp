#include "query/client.h"

#include "base/json.h"
#include "ops/tool_table.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "query/starter.h"
#include "state/state.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace query {
namespace {

using Clock = std::chrono::steady_clock;

const char* const NOT_RUNNING =
    "{\"error\":\"the corvane app is not running, so session context is unavailable\"}";
const char* const EMPTY_RESPONSE = "{\"error\":\"empty response from the app\"}";
const char* const TIMED_OUT = "{\"error\":\"the corvane app did not answer in time\"}";
const char* const TOO_LARGE = "{\"error\":\"the answer from the corvane app is too large\"}";

// The value to forward: of the key's type, an integer written 3.0 forwarded as 3.
std::optional<Json> accepted(const Json& value, ops::ArgType type) {
  if (!ops::hasType(value, type)) {
    return std::nullopt;
  }
  if (type == ops::ArgType::Integer && !value.is_number_integer()) {
    return Json(*base::wholeNumber(value));
  }
  return value;
}

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class Wait { Ready, TimedOut, Failed };

Wait waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int left = millisLeft(deadline);
    if (left == 0) {
      return Wait::TimedOut;
    }
    pollfd pfd{fd, events, 0};
    int n = ::poll(&pfd, 1, left);
    if (n > 0) {
      return Wait::Ready;
    }
    if (n < 0 && errno != EINTR) {
      return Wait::Failed;
    }
  }
}

enum class Connect { Connected, Refused, TimedOut, NoSocket };

// A Unix socket's non-blocking connect fails with EAGAIN while the app's backlog is full; waiting
// there keeps the deadline instead of blocking forever.
Connect connectBy(int fd, const sockaddr_un& addr, Clock::time_point deadline) {
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
      return Connect::Connected;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EINPROGRESS) {
      if (waitFor(fd, POLLOUT, deadline) != Wait::Ready) {
        return Connect::TimedOut;
      }
      int soError = 0;
      socklen_t len = sizeof(soError);
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
      return soError == 0 ? Connect::Connected : Connect::Refused;
    }
    if (errno != EAGAIN) {
      return Connect::Refused;
    }
    if (millisLeft(deadline) == 0) {
      return Connect::TimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A fresh non-blocking socket connected to the app; errno tells why when Refused.
Connect openAndConnect(platform::UniqueFd* sock, Clock::time_point deadline) {
  sock->reset(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!*sock) {
    return Connect::NoSocket;
  }
  ::fcntl(sock->get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(sock->get(), F_SETFL, ::fcntl(sock->get(), F_GETFL) | O_NONBLOCK);
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(sessionQuerySocket(), &addr)) {
    errno = ENAMETOOLONG;
    return Connect::Refused;
  }
  return connectBy(sock->get(), addr, deadline);
}

// Sends all of `bytes` before the deadline; a failed write is left to the read to judge.
bool sendBy(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    ssize_t n = platform::sendNoSigpipe(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waitFor(fd, POLLOUT, deadline) != Wait::Ready) {
        return millisLeft(deadline) > 0;
      }
    } else if (!(n < 0 && errno == EINTR)) {
      return true;
    }
  }
  return true;
}

enum class Exchange { Done, TimedOut, TooLarge };

// Sends the request line and reads the answer up to its line feed or the connection's end.
Exchange exchange(int fd, std::string_view request, Clock::time_point deadline,
                  std::string* answer) {
  if (!sendBy(fd, request, deadline)) {
    return Exchange::TimedOut;
  }
  char buf[16384];
  for (;;) {
    Wait w = waitFor(fd, POLLIN, deadline);
    if (w == Wait::TimedOut) {
      return Exchange::TimedOut;
    }
    if (w == Wait::Failed) {
      return Exchange::Done;
    }
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    }
    if (n <= 0) {
      return Exchange::Done;
    }
    answer->append(buf, static_cast<size_t>(n));
    if (answer->size() > MAX_ANSWER_BYTES) {
      return Exchange::TooLarge;
    }
    if (answer->back() == '\n') {
      return Exchange::Done;
    }
  }
}

}  // namespace

std::optional<std::string> opFor(std::string_view toolName) {
  const ops::ToolRow* row = ops::toolNamed(toolName);
  return row != nullptr ? std::optional<std::string>(row->op) : std::nullopt;
}

Json buildRequest(const std::string& op, const Json& args, int callerPid) {
  Json request = {{"op", op}};
  if (args.is_object()) {
    for (const ops::ArgKey& key : ops::argKeys()) {
      auto it = args.find(key.key);
      if (it == args.end()) {
        continue;
      }
      if (auto value = accepted(*it, key.type)) {
        request[key.key] = std::move(*value);
      }
    }
  }
  request["caller_pid"] = callerPid;
  return request;
}

std::string unknownToolAnswer(const std::string& name) {
  std::string quoted = Json(name).dump(-1, ' ', false, Json::error_handler_t::replace);
  return "{\"error\":\"unknown tool: " + quoted.substr(1, quoted.size() - 2) + "\"}";
}

std::string answerFromBytes(std::string_view bytes) {
  if (bytes.empty() || !platform::isValidUtf8(bytes)) {
    return EMPTY_RESPONSE;
  }
  return std::string(platform::trimUnicodeSpace(bytes));
}

std::string sessionQuerySocket() {
  return state::companionSocket();
}

std::string callSessionTool(const std::string& name, const Json& args) {
  auto op = opFor(name);
  if (!op) {
    return unknownToolAnswer(name);
  }
  auto request = base::serialize(buildRequest(*op, args, static_cast<int>(::getppid())));
  if (!request) {
    return "{\"error\":\"could not encode request\"}";
  }
  request->push_back('\n');
  auto deadline = Clock::now() + APP_TIMEOUT;

  platform::UniqueFd sock;
  Connect connected = openAndConnect(&sock, deadline);
  // Nobody there: start our own companion, then connect once more.
  if (connected == Connect::Refused && (errno == ENOENT || errno == ECONNREFUSED) &&
      query::startCompanion()) {
    connected = openAndConnect(&sock, deadline);
  }
  switch (connected) {
    case Connect::Connected:
      break;
    case Connect::NoSocket:
      return "{\"error\":\"socket() failed\"}";
    case Connect::Refused:
      return NOT_RUNNING;
    case Connect::TimedOut:
      return TIMED_OUT;
  }
  std::string answer;
  switch (exchange(sock.get(), *request, deadline, &answer)) {
    case Exchange::TimedOut:
      return TIMED_OUT;
    case Exchange::TooLarge:
      return TOO_LARGE;
    case Exchange::Done:
      break;
  }
  return answerFromBytes(answer);
}

Reach askCompanion(const Json& request, std::chrono::milliseconds bound, std::string* answer) {
  auto line = base::serialize(request);
  if (!line) {
    return Reach::Failed;
  }
  line->push_back('\n');
  auto deadline = Clock::now() + bound;
  platform::UniqueFd sock;
  switch (openAndConnect(&sock, deadline)) {
    case Connect::Connected:
      break;
    case Connect::Refused:
      return errno == ENOENT || errno == ECONNREFUSED ? Reach::Absent : Reach::Failed;
    case Connect::TimedOut:
    case Connect::NoSocket:
      return Reach::Failed;
  }
  std::string bytes;
  if (exchange(sock.get(), *line, deadline, &bytes) != Exchange::Done || bytes.empty() ||
      !platform::isValidUtf8(bytes)) {
    return Reach::Failed;
  }
  *answer = platform::trimUnicodeSpace(bytes);
  return Reach::Answered;
}

}  // namespace query

#include "notes/notes_cli.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "notes/notebook.h"
#include "platform/files.h"
#include "state/state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace notes {
namespace {

std::string editorCommand() {
  for (const char* var : {"VISUAL", "EDITOR"}) {
    const char* value = std::getenv(var);
    if (value != nullptr && *value != '\0') {
      return value;
    }
  }
  return "vi";
}

// The editor variable may hold arguments ("code -w"): the shell splits it, the path stays whole.
int runEditor(const std::string& editor, const std::string& path) {
  struct sigaction ignore {
  }, oldInt{}, oldQuit{};
  ignore.sa_handler = SIG_IGN;
  // ^C belongs to the editor; we only wait for it.
  ::sigaction(SIGINT, &ignore, &oldInt);
  ::sigaction(SIGQUIT, &ignore, &oldQuit);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
    std::string script = editor + " \"$1\"";
    ::execl("/bin/sh", "sh", "-c", script.c_str(), "sh", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  bool waited = pid > 0;
  while (waited && ::waitpid(pid, &status, 0) < 0) {
    waited = errno == EINTR;
  }
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGQUIT, &oldQuit, nullptr);
  if (!waited) {
    base::logErr(std::string("✗ não consegui abrir o editor: ") + std::strerror(errno));
    return 1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int runNotesCommand(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    base::logErr("uso: channel-server notes [PASTA]");
    return 2;
  }
  std::string folder = platform::resolvePath(args.empty() ? platform::currentDir() : args[0]);
  std::string notes = state::folder("notes");
  if (folder.empty() || !platform::isDirectory(folder) || notes.empty()) {
    base::logErr("✗ pasta inválida: " +
                 base::terminalSafe(args.empty() ? std::string(".") : args[0]));
    return 1;
  }
  std::string path = notebookPath(state::dir(), folder);
  std::string err;
  if (!platform::exists(path) && !platform::createFile(path, "", 0600, &err)) {
    base::logErr("✗ " + base::terminalSafe(err));
    return 1;
  }
  return runEditor(editorCommand(), path);
}

}  // namespace notes

#include "app/help.h"

#include "base/version.h"

#include <algorithm>

namespace app {
namespace {

std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

std::string allWords() {
  std::string words = "help --help --version";
  for (const Command& c : commands()) {
    words += " " + std::string(c.word);
  }
  return words;
}

// Words that do not start with "-" are subcommands (group's); the rest are options.
bool isOption(std::string_view word) {
  return word.starts_with("-");
}

std::string bashScript() {
  std::string cases;
  for (const Command& c : commands()) {
    cases += "    " + std::string(c.word) + ") words=" + shellQuoted(c.options) + " ;;\n";
  }
  return "# channel-server: completamento para bash (channel-server completion bash)\n"
         "_channel_server() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words=\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W " +
         shellQuoted(allWords()) +
         " -- \"$cur\")); return\n"
         "  fi\n"
         "  if [ \"$prev\" = --to ]; then\n"
         "    local IFS=$'\\n'\n"
         "    COMPREPLY=($(compgen -W \"$(channel-server sessions --names 2>/dev/null)\" -- "
         "\"$cur\")); return\n"
         "  fi\n"
         "  case ${COMP_WORDS[1]} in\n" +
         cases +
         "  esac\n"
         "  COMPREPLY=($(compgen -W \"$words --help\" -- \"$cur\"))\n"
         "}\n"
         "complete -o default -F _channel_server channel-server\n";
}

std::string zshScript() {
  std::string described, cases;
  for (const Command& c : commands()) {
    described += "    " + shellQuoted(std::string(c.word) + ":" + std::string(c.summary)) + "\n";
    cases +=
        "    " + std::string(c.word) + ") compadd -- " + std::string(c.options) + " --help ;;\n";
  }
  return "#compdef channel-server\n"
         "# channel-server: completamento para zsh (channel-server completion zsh)\n"
         "_channel_server() {\n"
         "  local -a cmds names\n"
         "  cmds=(\n" +
         described +
         "  )\n"
         "  if (( CURRENT == 2 )); then _describe comando cmds; return; fi\n"
         "  if [[ ${words[CURRENT-1]} == --to ]]; then\n"
         "    names=(\"${(@f)$(channel-server sessions --names 2>/dev/null)}\")\n"
         "    compadd -a names; return\n"
         "  fi\n"
         "  case ${words[2]} in\n" +
         cases +
         "  esac\n"
         "  _files\n"
         "}\n"
         "(( $+functions[compdef] )) && compdef _channel_server channel-server\n";
}

std::string fishScript() {
  std::string out =
      "# channel-server: completamento para fish (channel-server completion fish)\n"
      "complete -c channel-server -f\n"
      "complete -c channel-server -n __fish_use_subcommand -a 'help --version'\n";
  for (const Command& c : commands()) {
    std::string word(c.word);
    out += "complete -c channel-server -n __fish_use_subcommand -a " + word + " -d " +
           shellQuoted(c.summary) + "\n";
    std::string when = " -n " + shellQuoted("__fish_seen_subcommand_from " + word);
    std::string_view rest = c.options;
    while (!rest.empty()) {
      size_t space = rest.find(' ');
      std::string_view one = rest.substr(0, space);
      rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
      out += "complete -c channel-server" + when +
             (isOption(one) ? " -l " + std::string(one.substr(2)) : " -a " + std::string(one)) +
             (one == "--to" ? " -xa '(channel-server sessions --names 2>/dev/null)'" : "") + "\n";
    }
  }
  return out + "complete -c channel-server -n '__fish_seen_subcommand_from group notes' -F\n";
}

}  // namespace

std::string helpScreen() {
  size_t width = 0;
  for (const Command& c : commands()) {
    width = std::max(width, c.word.size());
  }
  std::string out =
      std::string("channel-server ") + base::SERVER_VERSION +
      " — liga o claude (Claude Code) às suas outras sessões e a processos locais.\n\n"
      "uso: channel-server COMANDO [OPÇÕES]   (channel-server COMANDO --help: detalhes)\n\n";
  for (const Command& c : commands()) {
    out += "  " + std::string(c.word) + std::string(width - c.word.size() + 2, ' ') +
           std::string(c.summary) + "\n";
  }
  return out +
         "\nExemplos:\n"
         "  corvane-run                                # o claude com o canal, na pasta atual\n"
         "  git diff | channel-server push --to api    # a entrada padrão para a sessão api\n\n"
         "Sem palavras, o channel-server é o servidor MCP que o claude inicia (o modo servidor).\n";
}

std::string commandHelp(const Command& cmd) {
  return "uso: channel-server " + std::string(cmd.usage) + "\n" + std::string(cmd.summary) + "\n" +
         (cmd.details.empty() ? "" : "\n" + std::string(cmd.details));
}

std::optional<std::string> completionScript(std::string_view shell) {
  if (shell == "bash") {
    return bashScript();
  }
  if (shell == "zsh") {
    return zshScript();
  }
  if (shell == "fish") {
    return fishScript();
  }
  return std::nullopt;
}

}  // namespace app

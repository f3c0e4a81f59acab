// The command words, their usage and their help, in the one language a person reads here.

#include "app/cli.h"

namespace app {

std::span<const Command> commands() {
  static constexpr Command TABLE[] = {
      {"launch", Mode::Launch, "launch [--take] [ARGUMENTOS DO CLAUDE...]",
       "abre o claude com o canal na pasta atual (o mesmo que corvane-run)", "--take",
       "Prepara a sessão-canal desta pasta, inicia o companheiro se ninguém responde e roda o\n"
       "claude sob o proxy de terminal. Os demais argumentos vão para o claude.\n"
       "  --take   encerra antes as sessões-canal já abertas nesta pasta\n"
       "Com a saída fora de um terminal (claude -p, pipes), o claude roda sem proxy.\n"},
      {"install-cli", Mode::InstallCLI, "install-cli",
       "põe corvane-run e channel-server no PATH e registra corvane-tools no claude", "",
       "Liga corvane-run e channel-server na primeira pasta do PATH entre ~/.local/bin,\n"
       "/opt/homebrew/bin e /usr/local/bin (senão em ~/.local/bin, com a linha do PATH no rc do\n"
       "seu shell: ~/.zshrc, ~/.bashrc ou ~/.config/fish/conf.d/corvane.fish), instala o\n"
       "completamento do shell e registra corvane-tools com 'claude mcp add --scope user'.\n"},
      {"push", Mode::Push, "push [--to SESSÃO] [TEXTO...]",
       "envia texto a uma sessão-canal viva (sem TEXTO: a entrada padrão)", "--to",
       "SESSÃO: o nome que 'channel-server sessions' mostra, um título, o começo do id ou do\n"
       "nome, a pasta da sessão ou o começo da sua instância. Sem --to: a sessão desta pasta.\n"
       "Espera até 30 s por uma sessão que ainda não está pronta. Texto: até 1 MiB.\n"
       "  git diff | channel-server push --to api\n"},
      {"type", Mode::Type, "type [--to SESSÃO] [--enter] TEXTO...",
       "digita texto no terminal de uma sessão aberta por corvane-run", "--to --enter",
       "SESSÃO como em push. --enter tecla Enter depois do texto.\n"
       "  channel-server type --enter 'npm test'\n"},
      {"sessions", Mode::Sessions, "sessions [--all | --since DIAS] [--json]",
       "lista as sessões do claude, como ps", "--all --since --json",
       "As em curso e as terminadas hoje; diz quantas mais antigas esconde.\n"
       "  --all        também as terminadas nos últimos 7 dias\n"
       "  --since N    as terminadas nos últimos N dias\n"
       "  --json       a resposta 'list' do companheiro, como está\n"},
      {"group", Mode::Group,
       "group create|add|remove NOME PASTA... | group delete NOME [--documents] | group list",
       "grupos de trabalho: pastas cujas sessões partilham documentos",
       "create add remove delete list",
       "Nomes: letras, dígitos, - e _, começando por letra ou dígito. Uma pasta pertence a um\n"
       "grupo só. 'delete' apaga o grupo e guarda os documentos, salvo com --documents.\n"
       "  channel-server group create api-work ~/src/api ~/src/web\n"},
      {"notes", Mode::Notes, "notes [PASTA]",
       "abre o caderno da pasta no editor ($VISUAL, $EDITOR, vi)", "", ""},
      {"shell", Mode::Shell, "shell [--name NOME]",
       "abre um terminal que as sessões desta pasta podem ler e onde podem escrever", "--name", ""},
      {"app", Mode::App, "app",
       "o companheiro, no lugar do app corvane (inicia sozinho quando preciso)", "",
       "Responde às ferramentas das sessões em ~/.corvane/sessions.sock; sai após 30 minutos\n"
       "sem pedidos.\n"},
      {"statusline", Mode::Statusline, "statusline [--install | --uninstall]",
       "a linha de status do Claude Code: custo, contexto e as sessões à sua espera",
       "--install --uninstall",
       "Lê o JSON da linha de status na entrada padrão e imprime uma ou duas linhas.\n"
       "--install grava a linha em ~/.claude/settings.json quando nenhuma está configurada;\n"
       "--uninstall tira só a nossa.\n"},
      {"completion", Mode::Completion, "completion bash|zsh|fish",
       "imprime o completamento do shell (install-cli já o instala)", "bash zsh fish", ""},
  };
  return TABLE;
}

}  // namespace app

// zvtadm __complete WORD...: the words that may follow a command line, for
// the shell's completion (tools/completion/zvtadm.bash). It walks the same
// command tree that parses the line, so completion never falls behind the
// commands: subcommands and options where they may stand, the configured
// systems where a SYSTEM is expected, and nothing where a value or a file
// is (the shell then completes file names).
#include <iostream>
#include <set>

#include "client/system_config.h"
#include "platform/utf.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

// The option of `app` or of the commands above it that `word` names.
const CLI::Option* FindOption(CLI::App* app, const std::string& word) {
  for (CLI::App* a = app; a != nullptr; a = a->get_parent()) {
    const CLI::Option* o = a->get_option_no_throw(word);
    if (o != nullptr) return o;
  }
  return nullptr;
}

// The options of `app`, and those of the commands above it that may follow
// it (--json; not --help or --version, which end the line).
void PrintOptions(CLI::App* app) {
  std::set<std::string> printed;
  for (CLI::App* a = app; a != nullptr; a = a->get_parent()) {
    for (const CLI::Option* o : a->get_options()) {
      if (o->get_positional()) continue;
      for (const std::string& name : o->get_lnames()) {
        if (a != app && (name == "help" || name == "version")) continue;
        if (printed.insert(name).second) std::cout << "--" << name << "\n";
      }
    }
  }
}

}  // namespace

int Complete(CLI::App* app, CommandContext* context, int argc, char** argv) {
  CLI::App* current = app;
  size_t positional = 0;
  bool wants_value = false;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    wants_value = false;
    if (word.rfind("-", 0) == 0) {
      const CLI::Option* o = FindOption(current, word.substr(0, word.find('=')));
      wants_value =
          o != nullptr && o->get_items_expected_max() != 0 && word.find('=') == std::string::npos;
      continue;
    }
    std::vector<CLI::App*> subs = current->get_subcommands([](CLI::App*) { return true; });
    CLI::App* match = nullptr;
    for (CLI::App* sub : subs)
      if (sub->get_name() == word) match = sub;
    if (match != nullptr) {
      current = match;
      positional = 0;
    } else {
      ++positional;
    }
  }
  if (wants_value) return kExitOk;  // an option's value: left to the shell
  std::vector<CLI::App*> subs = current->get_subcommands([](CLI::App*) { return true; });
  for (CLI::App* sub : subs) std::cout << sub->get_name() << "\n";
  PrintOptions(current);
  auto positionals = current->get_options([](const CLI::Option* o) { return o->get_positional(); });
  if (positional < positionals.size() && positionals[positional]->get_name() == "SYSTEM") {
    context->read_only = true;
    std::vector<std::u16string> names;
    std::string error;
    client::SystemConfigStore store(context->registry(), context->registry());
    if (store.List(&names, &error) == kClientOk)
      for (const std::u16string& name : names) std::cout << platform::Utf16ToUtf8(name) << "\n";
  }
  return kExitOk;
}

}  // namespace zvt::tools

// A command line read word by word against the command tree that parses it,
// so that neither falls behind the commands: zvtadm __complete WORD... (the
// words that may follow, for the shell's completion in
// tools/completion/zvtadm.bash: subcommands and options where they may
// stand, the configured systems where a SYSTEM is expected, and nothing
// where a value or a file is, so the shell completes file names), and the
// first word that names no command, with the nearest one.

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <set>
#include <vector>

#include "client/system_config.h"
#include "platform/utf.h"
#include "tools/zvtadm_command.h"

namespace zvt::tools {
namespace {

// The option of `app` or of the commands above it that `word` names
// ("--name" or "--name=value").
const CLI::Option* FindOption(CLI::App* app, const std::string& word) {
  const std::string name = word.substr(0, word.find('='));
  for (CLI::App* a = app; a != nullptr; a = a->get_parent()) {
    const CLI::Option* o = a->get_option_no_throw(name);
    if (o != nullptr) return o;
  }
  return nullptr;
}

// True when the option word `word` takes the next word as its value.
bool TakesNextWord(CLI::App* app, const std::string& word) {
  const CLI::Option* o = FindOption(app, word);
  return o != nullptr && o->get_items_expected_max() != 0 && word.find('=') == std::string::npos;
}

std::vector<CLI::App*> Subcommands(CLI::App* app) {
  return app->get_subcommands([](CLI::App*) { return true; });
}

// The subcommand of `app` named `word`, or null.
CLI::App* FindSubcommand(CLI::App* app, const std::string& word) {
  for (CLI::App* sub : Subcommands(app))
    if (sub->get_name() == word) return sub;
  return nullptr;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
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

// The values an option takes from a fixed set, for completion.
const std::vector<std::string>* FixedValues(const std::string& option) {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> kValues = {
      {"--tls", kTlsModes},
      {"--interaction-mode", {"1", "2"}},
  };
  for (const auto& [name, values] : kValues)
    if (name == option) return &values;
  return nullptr;
}

}  // namespace

int Complete(CLI::App* app, CommandContext* context, int argc, char** argv) {
  CLI::App* current = app;
  size_t positional = 0;
  bool wants_value = false;
  std::string value_of;  // the option whose value is wanted
  std::string store;     // a host store named on the line
  if (const char* env = std::getenv("ZVT_HOST_STORE")) store = env;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    // The shell splits "--store=FILE" at the "=": still the option's value.
    if (word == "=" && wants_value) continue;
    if (wants_value && value_of == "--store") store = word;
    wants_value = false;
    if (word.rfind("-", 0) == 0) {
      wants_value = TakesNextWord(current, word);
      value_of = word;
      continue;
    }
    if (CLI::App* sub = FindSubcommand(current, word)) {
      current = sub;
      positional = 0;
    } else {
      ++positional;
    }
  }
  if (wants_value) {
    // A value from a fixed set is offered; any other (a file, a number) is
    // left to the shell.
    if (const std::vector<std::string>* values = FixedValues(value_of))
      for (const std::string& v : *values) std::cout << v << "\n";
    return kExitOk;
  }
  for (CLI::App* sub : Subcommands(current)) std::cout << sub->get_name() << "\n";
  PrintOptions(current);
  auto positionals = current->get_options([](const CLI::Option* o) { return o->get_positional(); });
  // Profiles, where a host store is at hand.
  if (positional < positionals.size() && positionals[positional]->get_name() == "PROFILE" &&
      !store.empty())
    PrintHostProfiles(store);
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

bool FindUnknownCommand(CLI::App* app, int argc, char** argv, std::string* word,
                        std::string* nearest, std::string* where) {
  CLI::App* current = app;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") return false;
    if (arg.rfind("-", 0) == 0) {
      if (TakesNextWord(current, arg) && i + 1 < argc) ++i;
      continue;
    }
    std::vector<CLI::App*> subs = Subcommands(current);
    if (subs.empty()) return false;
    CLI::App* match = FindSubcommand(current, arg);
    if (match == nullptr) {
      size_t best = std::string::npos;
      for (CLI::App* sub : subs) {
        size_t d = EditDistance(arg, sub->get_name());
        if (d < best) best = d, *nearest = sub->get_name();
      }
      if (best > std::max<size_t>(2, arg.size() / 2)) nearest->clear();
      *word = arg;
      *where = current == app ? "zvtadm" : "zvtadm " + current->get_name();
      return true;
    }
    current = match;
  }
  return false;
}

}  // namespace zvt::tools

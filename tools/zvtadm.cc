// zvtadm: the administrator's tool for what the client library keeps.
// Each command group lives in its own file and registers its subcommands here.
#include <cstdio>
#include <iostream>

#include "tools/zvtadm_command.h"

namespace zvt::tools {

platform::PosixRegistry* CommandContext::registry() {
  if (!registry_)
    registry_ = std::make_unique<platform::PosixRegistry>(platform::PosixRegistry::DefaultPaths());
  return registry_.get();
}

void CommandContext::Emit(const nlohmann::json& data, const std::function<void()>& text) const {
  if (json) {
    std::cout << data.dump(2) << "\n";
  } else {
    text();
  }
}

int CommandContext::Fail(int code, const std::string& message) const {
  std::cerr << "zvtadm: " << message << "\n";
  return code;
}

}  // namespace zvt::tools

int main(int argc, char** argv) {
  using namespace zvt::tools;
  CLI::App app{"zvtadm: inspect and manage what the zvtappad client library keeps"};
  app.require_subcommand(1);
  CommandContext context;
  int exit_code = kExitOk;
  app.add_flag("--json", context.json, "print results as JSON");

  const CommandGroup groups[] = {AddSystemCommands, AddHostCommands, AddRegCommands};
  for (CommandGroup add : groups) add(&app, &context, &exit_code);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  std::cout.flush();
  return exit_code;
}

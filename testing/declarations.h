// The setting of tests of the client-defined declarations: a private
// registry store (behind a wrapper that can be told to fail) that .reg text
// is imported into, the client services with a private message log and an
// install directory that holds zvtadmrs.dll, and both function lists emptied
// before and after. Bound for its lifetime.
#ifndef ZVT_TESTING_DECLARATIONS_H_
#define ZVT_TESTING_DECLARATIONS_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/client_services.h"
#include "client/message_log.h"
#include "hierarchy/client_functions.h"
#include "platform/paths.h"
#include "services/services.h"
#include "testing/fault_injection.h"
#include "testing/test_platform.h"
#include "tools/reg_file.h"

namespace zvt::testing {

class DeclarationEnvironment {
 public:
  DeclarationEnvironment()
      : install_(dir_.File("client/bin/")),
        store_(dir_),
        registry_(&store_, &store_),
        sync_(dir_),
        client_(&store_, &store_, client::MessageLog(dir_.File("messages.log")), install_),
        binding_(Bind()) {
    std::filesystem::create_directories(install_);
    // The library's resource library in the client's install directory: a
    // link to the one built, or a copy where links cannot be made.
    const std::string built = platform::ModuleDirectory() + "zvtadmrs.dll";
    std::error_code no_link;
    std::filesystem::create_symlink(built, install_ + "zvtadmrs.dll", no_link);
    if (no_link) std::filesystem::copy_file(built, install_ + "zvtadmrs.dll");
    ResetClientFunctionListsForTesting();
  }
  ~DeclarationEnvironment() { ResetClientFunctionListsForTesting(); }
  DeclarationEnvironment(const DeclarationEnvironment&) = delete;
  DeclarationEnvironment& operator=(const DeclarationEnvironment&) = delete;

  Services Bind() {
    Services s;
    s.registry = &registry_;
    s.registry_service = &registry_;
    s.sync = &sync_;
    s.client = &client_;
    return s;
  }

  // Imports .reg text; `body` follows the header line.
  void Import(const std::string& body) {
    tools::RegFile file;
    std::string error;
    ASSERT_TRUE(
        tools::ParseRegFile("Windows Registry Editor Version 5.00\n\n" + body, &file, &error))
        << error;
    ASSERT_TRUE(store_.Import(file, &error)) << error;
  }

  // The texts written to the message log, in order.
  std::vector<std::string> Messages() {
    std::vector<client::LogEntry> entries;
    std::string error;
    std::vector<std::string> texts;
    if (!client_.message_log().Read(&entries, &error)) return texts;
    for (const client::LogEntry& e : entries) texts.push_back(e.text);
    return texts;
  }
  std::vector<client::LogEntry> Entries() {
    std::vector<client::LogEntry> entries;
    std::string error;
    (void)client_.message_log().Read(&entries, &error);
    return entries;
  }

  const std::vector<std::unique_ptr<ClientFunctionProvider>>& Providers(bool plug_in) {
    const std::vector<std::unique_ptr<ClientFunctionProvider>>* providers = nullptr;
    EXPECT_EQ(0u, getProviders(getClientFunctionList(plug_in), &providers));
    return *providers;
  }

  TempDir dir_;
  std::string install_;
  TestRegistry store_;
  FaultyRegistry registry_;
  TestSync sync_;
  client::ClientServices client_;
  ScopedServiceBinding binding_;
};

class DeclarationsTest : public ::testing::Test, public DeclarationEnvironment {};

// The registry paths of the two lists, in .reg form.
inline const char kPlugins[] =
    "HKEY_CLASSES_ROOT\\VYN.Tarvo.Network\\Application_Administration\\Client_Defined_"
    "Functions\\Plugins";
inline const char kNonPlugins[] =
    "HKEY_CLASSES_ROOT\\VYN.Tarvo.Network\\Application_Administration\\Client_Defined_"
    "Functions\\Non-Plugins";

}  // namespace zvt::testing

#endif  // ZVT_TESTING_DECLARATIONS_H_

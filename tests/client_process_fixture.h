// The setting of tests with client processes of the library (admin_query):
// private stores in this process's environment, which the clients inherit,
// a host server with one product, and system HOSTA configured for JOE.
#ifndef ZVT_TESTS_CLIENT_PROCESS_FIXTURE_H_
#define ZVT_TESTS_CLIENT_PROCESS_FIXTURE_H_

#include <sys/stat.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "tests/admin_client.h"
#include "tests/host_call_fixture.h"

namespace zvt::testing {

class ClientProcessTest : public HostCallTest {
 protected:
  // PROD holds G1, which holds G2 {A, B} and C; D stands under PROD. The
  // functions in `denied` are denied to JOE before the server starts.
  void SetUpHost(std::initializer_list<const char*> denied, hostd::ServerOptions options = {}) {
    for (const char* d : {"home", "run"}) ASSERT_EQ(0, mkdir(dir_.File(d).c_str(), 0700));
    setenv("ZVT_HOME", dir_.File("home").c_str(), 1);
    setenv("ZVT_CLASSES_DB", dir_.File("classes.db").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.File("run").c_str(), 1);
    setenv("ZVT_TEST_PASSWORD", "pw-JOE", 1);
    AddProfile("JOE");
    Function("PROD", "1", "*NONE");
    Function("G1", "2", "*NONE");
    Function("G2", "2", "G1");
    Function("A", "3", "G2");
    Function("B", "3", "G2");
    Function("C", "3", "G1");
    Function("D", "3", "*NONE");
    for (const char* f : denied) Usage(f, "1");
    StartServer(options);
    std::string command = BinDir() + "/zvtadm system add HOSTA --host 127.0.0.1 --port " +
                          std::to_string(server()->port()) +
                          " --user joe --password-env ZVT_TEST_PASSWORD --supply-timestamps" +
                          TlsOptions();
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  // JOE's usage of `function` on the host: "1" denied, "2" allowed.
  void Usage(const std::string& function, const std::string& usage) {
    std::string error;
    ASSERT_TRUE(store()->SetUsage("JOE", function, usage, &error)) << error;
  }

 protected:
  // Adds `id` of `type` ("1" root, "2" group, "3" item) below `parent` in
  // the product PROD, category 2.
  void Function(const std::string& id, const std::string& type, const std::string& parent) {
    hostd::FunctionRow f;
    f.id = id;
    f.type = type;
    f.root = "PROD";
    f.parent = parent;
    f.category = "2";
    f.name = id;
    std::string error;
    ASSERT_TRUE(store()->AddFunction(f, &error)) << error;
  }
};

}  // namespace zvt::testing

#endif  // ZVT_TESTS_CLIENT_PROCESS_FIXTURE_H_

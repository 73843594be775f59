// The setting of tests of a reload from the host: the test host server and
// its store, the declaration registry and message log, a fake client whose
// system objects the program calls locate by handle, and a display that
// records what the host-error presentation shows.
#ifndef ZVT_TESTING_HOST_SETTING_H_
#define ZVT_TESTING_HOST_SETTING_H_

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cache/registry_cache.h"
#include "include/zvtappad/zvtclient.h"
#include "testing/declarations.h"
#include "testing/fake_client.h"
#include "testing/recording_display.h"
#include "tests/host_call_fixture.h"

namespace zvt::testing {

// Counts the connections a load makes and undoes, and fails them on demand.
class CountingClient : public FakeClient {
 public:
  uint32_t zvtCO_Connect(SystemHandle h, uint32_t service, uint32_t flags) override {
    ++connects;
    return connect_result != 0 ? connect_result : FakeClient::zvtCO_Connect(h, service, flags);
  }
  uint32_t zvtCO_Disconnect(SystemHandle h, uint32_t service, uint32_t flags) override {
    ++disconnects;
    return disconnect_result != 0 ? disconnect_result
                                  : FakeClient::zvtCO_Disconnect(h, service, flags);
  }
  uint32_t connect_result = 0, disconnect_result = 0;
  int connects = 0, disconnects = 0;
};

class HostSettingTest : public HostCallTest {
 protected:
  void SetUp() override {
    StartServer();
    AddProfile("JOE");
    BindLibrary(u"SYS1", "JOE");
    env_ = std::make_unique<DeclarationEnvironment>();
    handle_calls_ =
        std::make_unique<pgm::RemoteProgramCalls>(&handles_, pgm::ErrorLog(dir_.File("error.log")));
    Services s;
    s.client = &client_;
    s.program_calls = handle_calls_.get();
    s.display = &display_;
    own_binding_ = std::make_unique<ScopedServiceBinding>(s);
    zvtclient_SetDisplayHandler(
        [](const char16_t* t, const char16_t*, uint32_t, void* self) {
          static_cast<HostSettingTest*>(self)->display_.texts.push_back(t);
          return 1;
        },
        this);
    ResetRegistryCacheForTesting();
    FakeSystem system;
    system.name = u"SYS1";
    system.user = u"JOE";
    system.signed_on = true;
    joe_ = client_.Add(system);
  }
  // A system object of SYS1 signed on as `user`.
  SystemHandle SignedOn(const std::u16string& user) {
    FakeSystem system;
    system.name = u"SYS1";
    system.user = user;
    system.signed_on = true;
    return client_.Add(system);
  }
  void TearDown() override {
    ResetRegistryCacheForTesting();
    zvtclient_SetDisplayHandler(nullptr, nullptr);
    own_binding_.reset();
    handle_calls_.reset();
    env_.reset();
  }

  // A function of the host's registry; `type` "1" root, "2" group, "3" item.
  void HostFunction(const std::string& id, const std::string& type, const std::string& root,
                    const std::string& parent = "*NONE", const std::string& category = "2") {
    hostd::FunctionRow f;
    f.id = id;
    f.type = type;
    f.root = root;
    f.parent = parent;
    f.category = category;
    f.name = id;
    std::string error;
    ASSERT_TRUE(store()->AddFunction(f, &error)) << error;
  }
  void Deny(const std::string& profile, const std::string& function) {
    std::string error;
    ASSERT_TRUE(store()->SetUsage(profile, function, "1", &error)) << error;
  }
  std::vector<std::string> Records() {
    std::ifstream in(dir_.File("error.log"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  bool HasRecord(const std::string& text) {
    for (const std::string& r : Records())
      if (r.find(text) != std::string::npos) return true;
    return false;
  }

  std::unique_ptr<DeclarationEnvironment> env_;
  CountingClient client_;
  HandleLocator handles_{&client_, &locator_};
  std::unique_ptr<pgm::RemoteProgramCalls> handle_calls_;
  RecordingDisplay display_;
  std::unique_ptr<ScopedServiceBinding> own_binding_;
  SystemHandle joe_ = 0;
};

}  // namespace zvt::testing

#endif  // ZVT_TESTING_HOST_SETTING_H_

#include "diag/error_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "diag/boundary_guard.h"
#include "host/admin_host_apis.h"
#include "include/zvtappad/zvtclient.h"
#include "pgm/remote_program_calls.h"
#include "platform/paths.h"
#include "platform/utf.h"
#include "services/resource_context.h"
#include "services/services.h"
#include "testing/fake_client.h"
#include "testing/recording_display.h"
#include "testing/temp_dir.h"

namespace zvt {
namespace {

class ErrorRecordsTest : public ::testing::Test {
 protected:
  ErrorRecordsTest() : calls_(&locator_, pgm::ErrorLog(dir_.File("error.log"))), binding_(Bind()) {
    // The resource libraries are built beside the platform library.
    client_.install_path = platform::U16(platform::ModuleDirectory());
    testing::FakeSystem s;
    s.name = u"SYS1";
    s.user = u"JOE";
    handle_ = client_.Add(s);
    zvtclient_SetDisplayHandler(
        [](const char16_t* t, const char16_t*, uint32_t, void* self) {
          static_cast<ErrorRecordsTest*>(self)->shared_.push_back(t);
          return 1;
        },
        this);
  }
  ~ErrorRecordsTest() override { zvtclient_SetDisplayHandler(nullptr, nullptr); }
  Services Bind() {
    Services s;
    s.client = &client_;
    s.program_calls = &calls_;
    s.display = &display_;
    return s;
  }
  std::vector<std::string> Records() {
    std::ifstream in(dir_.File("error.log"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

  testing::TempDir dir_;
  testing::FakeClient client_;
  testing::RecordingDisplay display_;
  pgm::StaticSystemLocator locator_;
  pgm::RemoteProgramCalls calls_;
  ScopedServiceBinding binding_;
  SystemHandle handle_;
  std::vector<std::u16string> shared_;
};

TEST_F(ErrorRecordsTest, TheTwoUnitsDifferInSeparatorAndLine) {
  writeErrorRecord(ErrorUnit::kCache, u"CRegistryCache::getCacheTS -> Open User key failed", 321,
                   0);
  writeErrorRecord(ErrorUnit::kCache, u"step failed", 77, 2);
  writeErrorRecord(ErrorUnit::kBypass, u"step failed", 99, 0x80000005u);
  std::vector<std::string> r = Records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_NE(r[0].find("unadmappadmincache:321 msg=16646"), std::string::npos) << r[0];
  EXPECT_NE(r[0].find(" CRegistryCache::getCacheTS -> Open User key failed"), std::string::npos);
  EXPECT_EQ(r[0].find("Rtcd"), std::string::npos);  // code 0: no separator
  EXPECT_NE(r[1].find("step failed  Rtcd=>2"), std::string::npos) << r[1];
  EXPECT_NE(r[2].find("unadmbypassregistry:0 "), std::string::npos) << r[2];
  EXPECT_NE(r[2].find("step failed  Rtcd=-2147483643"), std::string::npos) << r[2];
}

TEST_F(ErrorRecordsTest, HostErrorsGoToTheDialogOrTheMessageBox) {
  HMODULE before = CurrentResourceLibrary();
  ErrorObject host(0, u"zvtpgm", 0, kErrorClassHostMessages);
  host.addHostMessage({u"CPF2204", 40, u"User profile JOE not found."});
  showHostError(&host, u"JOE", u"SYS1", &handle_);
  ASSERT_EQ(shared_.size(), 1u);
  EXPECT_NE(shared_[0].find(u"for user JOE on system SYS1"), std::u16string::npos);
  EXPECT_NE(shared_[0].find(u"CPF2204: User profile JOE not found."), std::u16string::npos);
  EXPECT_TRUE(display_.texts.empty());
  EXPECT_EQ(CurrentResourceLibrary(), before);  // restored

  ErrorObject local(0, u"zvtpgm", 0, kErrorClassCommunication);
  showHostError(&local, u"JOE", u"SYS1", nullptr);  // no handle: shown anyway
  ASSERT_EQ(display_.texts.size(), 1u);
  EXPECT_NE(display_.texts[0].find(u"for user JOE on system SYS1"), std::u16string::npos);
  EXPECT_EQ(client_.last_style, 0x0u);     // OK button, no icon, through the client
  EXPECT_EQ(display_.styles[0], 0x1000u);  // and came back adjusted

  client_.system(handle_).interaction_mode = kInteractionModeSilent;
  showHostError(&host, u"JOE", u"SYS1", &handle_);
  showHostError(&local, u"JOE", u"SYS1", &handle_);
  EXPECT_EQ(shared_.size(), 1u);
  EXPECT_EQ(display_.texts.size(), 1u);
  SystemHandle unknown = 0xBAD;
  showHostError(&local, u"JOE", u"SYS1", &unknown);  // the query fails: nothing shown
  EXPECT_EQ(display_.texts.size(), 1u);
}

TEST_F(ErrorRecordsTest, AResourceLibraryThatCannotLoadKeepsTheCurrentOne) {
  HMODULE before = CurrentResourceLibrary();
  EXPECT_EQ(setMFCMRIdll(u"nothere.dll"), before);
  EXPECT_EQ(CurrentResourceLibrary(), before);
  std::vector<std::string> r = Records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].find("setMFCMRIdll -> AfxLoad Library failed "), std::string::npos);
  HMODULE previous = setMFCMRIdll(u"ZVTPGMRS.DLL");
  EXPECT_EQ(previous, before);
  EXPECT_NE(CurrentResourceLibrary(), before);
  SetCurrentResourceLibrary(previous);

  // An install directory may have 256 characters, its last separator
  // included, and its libraries are still found there.
  std::string dir = dir_.File("");
  dir += std::string(255 - dir.size(), 'd') + "/";
  ASSERT_EQ(dir.size(), 256u);
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  std::filesystem::copy_file(platform::ModuleDirectory() + "ZVTPGMRS.DLL", dir + "ZVTPGMRS.DLL");
  client_.install_path = platform::U16(dir);
  previous = setMFCMRIdll(u"ZVTPGMRS.DLL");
  EXPECT_NE(CurrentResourceLibrary(), previous);
  SetCurrentResourceLibrary(previous);
  EXPECT_EQ(Records().size(), 1u);  // no second failure to load
}

}  // namespace
}  // namespace zvt

namespace zvt {
namespace {

// A program call library whose calls throw, as one out of memory would.
class ThrowingCalls : public pgm::RemoteProgramCalls {
 public:
  using pgm::RemoteProgramCalls::RemoteProgramCalls;
  std::unique_ptr<DataObject> createDataObject(const DataDescription&) override {
    throw std::bad_alloc();
  }
};

TEST_F(ErrorRecordsTest, AnExceptionEndsAtTheBoundaryAsCodeOneWithARecord) {
  EXPECT_EQ(1u, GuardBoundary(ErrorUnit::kCache, u"zvtUN_GetAdminValue", 77,
                              []() -> uint32_t { throw std::bad_alloc(); }));
  EXPECT_EQ(1u, GuardBoundary(ErrorUnit::kBypass, u"zvtUN_GetAdminValueBypass", 0,
                              []() -> uint32_t { throw 42; }));
  EXPECT_EQ(7u, GuardBoundary(ErrorUnit::kCache, u"x", 1, [] { return 7u; }));

  // A host call whose program call library throws fails with an error
  // object, so its caller never takes the failure for an empty list.
  ThrowingCalls throwing(&locator_, pgm::ErrorLog(dir_.File("error.log")));
  Services s;
  s.program_calls = &throwing;
  ScopedServiceBinding bound(s);
  FunctionInfoList functions;
  ErrorOut error;
  EXPECT_EQ(1u, CAdminHostAPIs::getFuncList(u"SYS1", 0, &functions, &error));
  ASSERT_TRUE(error);
  EXPECT_NE(std::u16string::npos, error->texts().back().find(u"getFuncList:  exception"));

  std::vector<std::string> r = Records();
  ASSERT_GE(r.size(), 3u);
  EXPECT_NE(r[0].find("unadmappadmincache:77 "), std::string::npos) << r[0];
  EXPECT_NE(r[0].find("zvtUN_GetAdminValue -> exception: std::bad_alloc"), std::string::npos);
  EXPECT_NE(r[1].find("unadmbypassregistry:0 "), std::string::npos) << r[1];
  EXPECT_NE(r[1].find("exception: unknown"), std::string::npos) << r[1];
  bool host_record = false;
  for (const std::string& line : r)
    host_record = host_record || line.find("getFuncList -> exception") != std::string::npos;
  EXPECT_TRUE(host_record);
}

}  // namespace
}  // namespace zvt

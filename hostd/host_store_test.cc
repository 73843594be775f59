#include "hostd/host_store.h"

#include <gtest/gtest.h>

#include "services/testing/temp_dir.h"

namespace zvt::hostd {
namespace {

class HostStoreTest : public ::testing::Test {
 protected:
  HostStoreTest() {
    std::string error;
    store_ = HostStore::Open(dir_.File("host.db"), &error);
    EXPECT_TRUE(store_) << error;
  }
  testing::TempDir dir_;
  std::unique_ptr<HostStore> store_;
};

TEST_F(HostStoreTest, JsonExportAndImportRoundTripAndABadFileChangesNothing) {
  std::string error;
  ASSERT_TRUE(store_->AddProfile("ann", "secret", HashStrength::kFast, &error)) << error;
  FunctionRow root;
  root.id = "ROOT";
  root.type = "1";
  root.root = "ROOT";
  root.name = "Wurzel ä";
  FunctionRow item = root;
  item.id = "ITEM";
  item.type = "3";
  item.parent = "ROOT";
  item.default_usage = "1";
  ASSERT_TRUE(store_->AddFunction(root, &error)) << error;
  ASSERT_TRUE(store_->AddFunction(item, &error)) << error;
  ASSERT_TRUE(store_->SetUsage("ANN", "ITEM", "2", &error)) << error;
  std::string json;
  ASSERT_TRUE(store_->ExportJson(&json, &error)) << error;

  testing::TempDir other;
  auto copy = HostStore::Open(other.File("copy.db"), &error);
  ASSERT_TRUE(copy->ImportJson(json, /*replace=*/true, &error)) << error;
  std::string again;
  ASSERT_TRUE(copy->ExportJson(&again, &error));
  EXPECT_EQ(again, json);
  bool known = false;
  EXPECT_TRUE(copy->VerifyPassword("Ann", "secret", &known, &error));
  EXPECT_FALSE(copy->VerifyPassword("ANN", "wrong", &known, &error));
  EXPECT_TRUE(known);

  // A file with one bad function imports nothing and names the entry.
  std::string bad = json;
  bad.replace(bad.find("\"ITEM\""), 6, "\"HAS BLANK\"");
  EXPECT_FALSE(copy->ImportJson(bad, /*replace=*/true, &error));
  EXPECT_NE(error.find("functions entry 2"), std::string::npos) << error;
  EXPECT_FALSE(copy->ImportJson("{not json", /*replace=*/true, &error));
  std::string after;
  ASSERT_TRUE(copy->ExportJson(&after, &error));
  EXPECT_EQ(after, json);
}

TEST_F(HostStoreTest, InvalidChangesAreRefusedWithTheirNames) {
  std::string error;
  FunctionRow f;
  f.id = std::string(31, 'X');
  EXPECT_FALSE(store_->AddFunction(f, &error));
  f.id = "OK";
  f.root = "OK";
  f.default_usage = "3";
  EXPECT_FALSE(store_->AddFunction(f, &error));
  EXPECT_NE(error.find("OK"), std::string::npos);
  f.default_usage = "2";
  ASSERT_TRUE(store_->AddFunction(f, &error)) << error;
  EXPECT_FALSE(store_->AddFunction(f, &error));
  EXPECT_NE(error.find("already registered"), std::string::npos);
  EXPECT_FALSE(store_->SetUsage("NOONE", "OK", "1", &error));
  EXPECT_NE(error.find("NOONE"), std::string::npos);
  EXPECT_FALSE(store_->AddProfile("ELEVENCHARS", "x", HashStrength::kFast, &error));
  EXPECT_FALSE(store_->RemoveFunction("MISSING", &error));
  EXPECT_NE(error.find("not registered"), std::string::npos);
}

}  // namespace
}  // namespace zvt::hostd

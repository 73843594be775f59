#include "hostd/console_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace zvt::hostd {
namespace {

class ConsoleFilesTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_.File(name)) << text;
  }
  std::optional<AdminResponse> Get(const std::string& path, const std::string& method = "GET") {
    AdminRequest r;
    r.method = method;
    r.path = path;
    return files_.Answer(r);
  }
  static std::string Header(const AdminResponse& r, const std::string& name) {
    for (const auto& [key, value] : r.headers)
      if (key == name) return value;
    return "";
  }

  testing::TempDir dir_;
  ConsoleFiles files_;
};

// Only the files found at load are served, by their own names; nothing a
// path can spell reaches beside or above them.
TEST_F(ConsoleFilesTest, ServesWhatItLoadedAndNothingElse) {
  std::string error;
  EXPECT_FALSE(Get("/console/")) << "nothing before a load";
  Write("secret.txt", "outside");
  mkdir(dir_.File("web").c_str(), 0700);
  mkdir(dir_.File("web/sub").c_str(), 0700);
  EXPECT_FALSE(files_.Load(dir_.File("web"), &error));
  EXPECT_NE(error.find("index.html"), std::string::npos) << error;
  Write("web/index.html", "<!doctype html>");
  Write("web/app.js", "'use strict';");
  Write("web/notes.md", "not a kind the console serves");
  Write("web/.hidden.js", "hidden");
  Write("web/sub/deep.js", "below");
  ASSERT_TRUE(files_.Load(dir_.File("web"), &error)) << error;
  EXPECT_EQ(2u, files_.size());

  for (const char* root : {"/", "/console"}) {
    auto r = Get(root);
    ASSERT_TRUE(r) << root;
    EXPECT_EQ(303u, r->status);
    EXPECT_EQ("/console/", Header(*r, "Location"));
  }
  auto index = Get("/console/");
  ASSERT_TRUE(index);
  EXPECT_EQ(200u, index->status);
  EXPECT_EQ("<!doctype html>", index->body);
  EXPECT_EQ("text/html; charset=utf-8", index->content_type);
  const std::string policy = Header(*index, "Content-Security-Policy");
  EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
  EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
  EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
  auto script = Get("/console/app.js");
  ASSERT_TRUE(script);
  EXPECT_EQ("text/javascript; charset=utf-8", script->content_type);
  EXPECT_FALSE(Header(*script, "Content-Security-Policy").empty());

  for (const char* path : {"/console/notes.md", "/console/.hidden.js", "/console/sub/deep.js",
                           "/console/../secret.txt", "/console/%2e%2e/secret.txt",
                           "/console/index.html/", "/console//app.js"}) {
    auto r = Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(404u, r->status) << path;
  }
  EXPECT_EQ(405u, Get("/console/app.js", "POST")->status);
  EXPECT_EQ(200u, Get("/console/app.js", "HEAD")->status);
  EXPECT_FALSE(Get("/metrics")) << "other paths are not the console's";
  EXPECT_FALSE(Get("/consoles/app.js"));

  // A file too large fails the load and leaves what was loaded.
  std::ofstream(dir_.File("web/big.js")) << std::string(ConsoleFiles::kMaxFileBytes + 1, 'x');
  EXPECT_FALSE(files_.Load(dir_.File("web"), &error));
  EXPECT_EQ(2u, files_.size());
  EXPECT_FALSE(files_.Load(dir_.File("missing"), &error));
  EXPECT_EQ(200u, Get("/console/app.js")->status);
}

}  // namespace
}  // namespace zvt::hostd

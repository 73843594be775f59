#include "hostd/admin_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "hostd/host_server.h"
#include "hostd/host_store.h"
#include "testing/http_get.h"
#include "testing/server_faults.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"
#include "testing/wire_client.h"

namespace zvt::hostd {
namespace {

using nlohmann::json;

// A server over a store with a security administrator, an auditor and an
// ordinary profile; the API's clock moves only when a test moves it.
class AdminApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    {
      auto store = HostStore::Open(dir_.File("host.db"), &error);
      ASSERT_TRUE(store) << error;
      for (const char* p : {"ADMIN", "AUD", "JOE", "SLOW"})
        ASSERT_TRUE(store->AddProfile(p, "pw", HashStrength::kFast, &error)) << error;
      ASSERT_TRUE(store->SetAllProfiles("ADMIN", true, &error)) << error;
      ASSERT_TRUE(store->SetAuditor("AUD", true, &error)) << error;
      FunctionRow root;
      root.id = "ROOT";
      root.type = "1";
      root.root = "ROOT";
      ASSERT_TRUE(store->AddFunction(root, &error)) << error;
    }
    ServerOptions options;
    options.store_path = dir_.File("host.db");
    options.allow_fast_hashes = true;
    // Penalties and lockouts outlast any test, however slow the machine.
    options.signon_lockout_ms = 600000;
    options.penalty_ms = 600000;
    options.max_penalty_ms = 600000;
    server_ = std::make_unique<HostServer>(options, &faults_);
    ASSERT_TRUE(server_->Start(&error)) << error;
    AdminApiOptions api;
    api.idle = std::chrono::seconds(60);
    api.now = [this] { return now_; };
    api_ = std::make_unique<AdminApi>(server_.get(), api);
  }

  AdminResponse Call(const std::string& method, const std::string& path, const std::string& body,
                     std::map<std::string, std::string> headers = {}) {
    AdminRequest r;
    r.method = method;
    const size_t q = path.find('?');
    r.path = path.substr(0, q);
    if (q != std::string::npos) r.query = path.substr(q + 1);
    r.peer = peer_;
    r.headers = std::move(headers);
    r.body = body;
    auto answer = api_->Answer(r);
    return answer ? *answer : AdminResponse{0, "", "not the API's", {}};
  }
  json SignIn(const std::string& profile, const std::string& password, unsigned* status) {
    AdminResponse r =
        Call("POST", "/api/v1/session", json{{"profile", profile}, {"password", password}}.dump());
    *status = r.status;
    return json::parse(r.body, nullptr, false);
  }
  json SignIn(const std::string& profile) {
    unsigned status = 0;
    json j = SignIn(profile, "pw", &status);
    EXPECT_EQ(200u, status) << j.dump();
    return j;
  }

  testing::TempDir dir_;
  testing::ServerFaults faults_;
  std::unique_ptr<HostServer> server_;
  std::unique_ptr<AdminApi> api_;
  AdminApiOptions::Clock::time_point now_ = AdminApiOptions::Clock::now();
  std::string peer_ = "192.0.2.7";
};

// Every resource answers each kind of caller as its role allows: the
// security administrator reads and changes; the auditor reads; anyone else,
// or nobody, is refused; a change by cookie needs the CSRF token.
TEST_F(AdminApiTest, EachResourceAnswersEachRoleAsItMay) {
  const json admin = SignIn("admin"), auditor = SignIn("AUD"), joe = SignIn("JOE");
  EXPECT_EQ(admin["role"], "security-admin");
  EXPECT_EQ(auditor["role"], "auditor");
  EXPECT_EQ(joe["role"], "");
  unsigned status = 0;
  const json expired = SignIn("ADMIN", "pw", &status);
  now_ += std::chrono::seconds(61);
  // The others stay live: each is used before the clock passes their idle
  // time again.
  const json fresh_admin = SignIn("ADMIN");
  const json fresh_auditor = SignIn("AUD");
  const json fresh_joe = SignIn("JOE");

  auto bearer = [](const json& s) {
    return std::map<std::string, std::string>{
        {"authorization", "Bearer " + s["token"].get<std::string>()}};
  };
  auto cookie = [](const json& s, bool csrf) {
    std::map<std::string, std::string> h{
        {"cookie", "theme=dark; zvt_session=" + s["token"].get<std::string>()}};
    if (csrf) h["x-csrf-token"] = s["csrf_token"].get<std::string>();
    return h;
  };
  const std::string change =
      json{{"profile", "JOE"}, {"function", "ROOT"}, {"usage", "denied"}}.dump();
  const std::string registry =
      R"({"functions": [{"id": "ROOT", "type": "1"}], "profiles": [{"name": "ADMIN", "password": "pw", "fast_hash": true}]})";
  // Each resource once, with what its change sends; "reads" that need the
  // security administrator (the export holds password hashes) say so. The
  // changes can be made again and again.
  struct Resource {
    const char* method;
    const char* path;
    std::string body;
    bool admin_only = false;
  };
  const Resource resources[] = {{"GET", "/api/v1/host", ""},
                                {"GET", "/api/v1/functions?counts=1", ""},
                                {"GET", "/api/v1/functions/ROOT", ""},
                                {"GET", "/api/v1/profiles", ""},
                                {"GET", "/api/v1/profiles/JOE", ""},
                                {"GET", "/api/v1/answers?profile=JOE", ""},
                                {"GET", "/api/v1/why?profile=JOE&function=ROOT", ""},
                                {"GET", "/api/v1/audit?limit=5", ""},
                                {"GET", "/api/v1/timestamps?profile=JOE", ""},
                                {"GET", "/api/v1/export", "", true},
                                {"PUT", "/api/v1/usage", change, true},
                                {"PUT", "/api/v1/host", R"({"name": "H"})", true},
                                {"PUT", "/api/v1/functions/ROOT", R"({"name": "the root"})", true},
                                {"PUT", "/api/v1/profiles/JOE", R"({"auditor": false})", true},
                                {"POST", "/api/v1/profiles/JOE/revoke-tokens", "{}", true},
                                {"POST", "/api/v1/import?dry_run=1", registry, true}};
  for (const Resource& res : resources) {
    SCOPED_TRACE(std::string(res.method) + " " + res.path);
    const bool changes = res.method != std::string("GET");
    auto status_of = [&](std::map<std::string, std::string> headers) {
      return Call(res.method, res.path, res.body, std::move(headers)).status;
    };
    EXPECT_EQ(200u, status_of(bearer(fresh_admin)));
    EXPECT_EQ(res.admin_only ? 403u : 200u, status_of(bearer(fresh_auditor)));
    EXPECT_EQ(403u, status_of(bearer(fresh_joe)));
    EXPECT_EQ(401u, status_of({}));
    EXPECT_EQ(401u, status_of(bearer(expired))) << "unused past its idle time";
    EXPECT_EQ(401u, status_of({{"authorization", "Bearer made-up"}}));
    EXPECT_EQ(changes ? 403u : 200u, status_of(cookie(fresh_admin, false)));
    EXPECT_EQ(200u, status_of(cookie(fresh_admin, true)));
  }
  // The changes that cannot be made twice: everyone but the security
  // administrator is refused, and nothing was made or removed.
  const Resource once[] = {{"POST", "/api/v1/profiles", R"({"name": "NEW", "password": "pw"})"},
                           {"DELETE", "/api/v1/profiles/JOE", ""},
                           {"POST", "/api/v1/functions", R"({"id": "NEWFN", "type": "1"})"},
                           {"DELETE", "/api/v1/functions/ROOT", ""},
                           {"POST", "/api/v1/import?replace=1", registry}};
  for (const Resource& res : once) {
    SCOPED_TRACE(std::string(res.method) + " " + res.path);
    auto status_of = [&](std::map<std::string, std::string> headers) {
      return Call(res.method, res.path, res.body, std::move(headers)).status;
    };
    EXPECT_EQ(403u, status_of(bearer(fresh_auditor)));
    EXPECT_EQ(403u, status_of(bearer(fresh_joe)));
    EXPECT_EQ(401u, status_of({}));
    EXPECT_EQ(401u, status_of(bearer(expired)));
    EXPECT_EQ(403u, status_of(cookie(fresh_admin, false)));
  }
  const json names = json::parse(Call("GET", "/api/v1/profiles", "", bearer(fresh_admin)).body);
  EXPECT_EQ(4u, names.size()) << names.dump();
  EXPECT_EQ(200u, Call("GET", "/api/v1/functions/ROOT", "", bearer(fresh_admin)).status);
  EXPECT_EQ(404u, Call("GET", "/api/v1/functions/NEWFN", "", bearer(fresh_admin)).status);
  // Signed out, a session is gone.
  EXPECT_EQ(200u, Call("DELETE", "/api/v1/session", "", bearer(fresh_joe)).status);
  EXPECT_EQ(401u, Call("GET", "/api/v1/session", "", bearer(fresh_joe)).status);
  // A role taken away takes effect at the next request.
  std::string error;
  auto store = HostStore::Open(dir_.File("host.db"), &error);
  ASSERT_TRUE(store->SetAuditor("AUD", false, &error)) << error;
  EXPECT_EQ(403u, Call("GET", "/api/v1/host", "", bearer(fresh_auditor)).status);
  // Paths outside the API are not its to answer.
  EXPECT_EQ(0u, Call("GET", "/metrics", "").status);
}

// Sign-in failures count towards the same penalties and lockouts as the
// wire's sign-ons, in both directions; the cookie is one a browser keeps to
// itself.
TEST_F(AdminApiTest, SignInSharesTheWiresLockoutAndSetsAStrictCookie) {
  // A network that failed is held off before any password is checked.
  unsigned status = 0;
  SignIn("JOE", "wrong", &status);
  EXPECT_EQ(401u, status);
  SignIn("JOE", "pw", &status);
  EXPECT_EQ(429u, status) << "the network's penalty";
  // From loopback, which is never penalised, the profile's lockout shows.
  peer_ = "127.0.0.1";
  AdminResponse ok =
      Call("POST", "/api/v1/session", json{{"profile", "JOE"}, {"password", "pw"}}.dump());
  ASSERT_EQ(200u, ok.status);
  ASSERT_EQ(1u, ok.headers.size());
  EXPECT_EQ(ok.headers[0].first, "Set-Cookie");
  EXPECT_NE(ok.headers[0].second.find("; Secure; HttpOnly; SameSite=Strict"), std::string::npos);
  for (const char* bad : {"a", "b", "c"}) SignIn("JOE", bad, &status);
  EXPECT_EQ(401u, status);
  SignIn("JOE", "pw", &status);
  EXPECT_EQ(429u, status) << "locked out by the API's failures";
  testing::WireClient wire(server_->port());
  wire::SignonReply refused;
  ASSERT_TRUE(wire.SignOn("JOE", "pw", "", &refused));
  EXPECT_FALSE(refused.ok) << "and so is the wire's sign-on";
  ASSERT_FALSE(refused.messages.empty());
  EXPECT_EQ(refused.messages[0].id, wire::kMessageLockedOut) << refused.messages[0].text;
  // Failures on the wire lock the API's sign-in alike.
  for (const char* bad : {"a", "b", "c"}) {
    testing::WireClient c(server_->port());
    EXPECT_FALSE(c.SignOn("AUD", bad));
  }
  SignIn("AUD", "pw", &status);
  EXPECT_EQ(429u, status);
  // Bad requests are told apart from bad passwords.
  EXPECT_EQ(400u, Call("POST", "/api/v1/session", "{not json").status);
  EXPECT_EQ(400u, Call("POST", "/api/v1/session", R"({"profile": 7})").status);
}

// A change through the API is recorded as made by the session's profile
// from its address, and bad settings change nothing.
TEST_F(AdminApiTest, ChangesAreAuditedAsTheSessionsProfileFromItsAddress) {
  const json admin = SignIn("ADMIN");
  const std::map<std::string, std::string> auth{
      {"authorization", "Bearer " + admin["token"].get<std::string>()}};
  const json two = json::array({{{"profile", "JOE"}, {"function", "ROOT"}, {"usage", "denied"}},
                                {{"profile", "AUD"}, {"function", "ROOT"}, {"usage", "allowed"}}});
  EXPECT_EQ(200u, Call("PUT", "/api/v1/usage", two.dump(), auth).status);
  EXPECT_EQ(400u,
            Call("PUT", "/api/v1/usage",
                 json{{"profile", "JOE"}, {"function", "ROOT"}, {"usage", "maybe"}}.dump(), auth)
                .status);
  EXPECT_EQ(
      404u,
      Call("PUT", "/api/v1/usage",
           json{{"profile", "NOBODY"}, {"function", "ROOT"}, {"usage", "denied"}}.dump(), auth)
          .status);
  const json trail = json::parse(Call("GET", "/api/v1/audit?profile=JOE", "", auth).body);
  ASSERT_EQ(2u, trail.size()) << "added, then denied ROOT: " << trail.dump();
  EXPECT_EQ(trail[1]["action"], "profile.add");
  EXPECT_EQ(trail[0]["who"], "ADMIN");
  EXPECT_EQ(trail[0]["from"], "192.0.2.7");
  EXPECT_EQ(trail[0]["after"], "denied");
  const json why = json::parse(Call("GET", "/api/v1/why?profile=JOE&function=ROOT", "", auth).body);
  EXPECT_EQ(why["source"], "own");
  EXPECT_TRUE(why["denied"].get<bool>());
  const json joe = json::parse(Call("GET", "/api/v1/profiles/joe", "", auth).body);
  EXPECT_EQ(joe["usage"]["ROOT"], "denied");
}

// Several settings in one request are made together or not at all, and the
// views a console draws from agree with them: the tree's placement, how
// many profiles each function is denied to, and a profile's every answer
// with its own setting beside it.
TEST_F(AdminApiTest, ABatchIsOneTransactionAndTheViewsFollowIt) {
  std::string error;
  {
    auto store = HostStore::Open(dir_.File("host.db"), &error);
    FunctionRow group;
    group.id = "GRP";
    group.type = "2";
    group.root = "ROOT";
    group.parent = "ROOT";
    FunctionRow item = group;
    item.id = "ITEM";
    item.type = "3";
    item.parent = "GRP";
    FunctionRow stray = item;  // names an item as its parent: no one's child
    stray.id = "STRAY";
    stray.parent = "ITEM";
    for (const FunctionRow& f : {group, item, stray})
      ASSERT_TRUE(store->AddFunction(f, &error)) << error;
  }
  const json admin = SignIn("ADMIN");
  const std::map<std::string, std::string> auth{
      {"authorization", "Bearer " + admin["token"].get<std::string>()}};
  auto get = [&](const std::string& path) { return json::parse(Call("GET", path, "", auth).body); };
  const size_t audited = get("/api/v1/audit").size();

  // The second setting names a function nobody registered: the first is
  // not made either, and nothing is recorded.
  const json bad = json::array({{{"profile", "JOE"}, {"function", "ITEM"}, {"usage", "denied"}},
                                {{"profile", "JOE"}, {"function", "NONE"}, {"usage", "denied"}}});
  EXPECT_EQ(404u, Call("PUT", "/api/v1/usage", bad.dump(), auth).status);
  EXPECT_EQ(audited, get("/api/v1/audit").size());
  EXPECT_EQ(get("/api/v1/answers?profile=JOE")["answers"][2]["setting"], "default");

  const json good = json::array({{{"profile", "JOE"}, {"function", "ITEM"}, {"usage", "denied"}},
                                 {{"profile", "AUD"}, {"function", "ITEM"}, {"usage", "denied"}},
                                 {{"profile", "AUD"}, {"function", "GRP"}, {"usage", "allowed"}}});
  EXPECT_EQ(200u, Call("PUT", "/api/v1/usage", good.dump(), auth).status);
  EXPECT_EQ(audited + 3, get("/api/v1/audit").size());

  std::map<std::string, std::pair<std::string, uint64_t>> tree;
  for (const json& f : get("/api/v1/functions?counts=1"))
    tree[f["id"]] = {f["under"], f["denied_to"]};
  // GRP is denied by its only child, to AUD too, whose own setting allows
  // it: a group whose every child is denied is denied; and so is ROOT.
  EXPECT_EQ(tree["ROOT"], std::make_pair(std::string(), uint64_t{2}));
  EXPECT_EQ(tree["GRP"], std::make_pair(std::string("ROOT"), uint64_t{2}));
  EXPECT_EQ(tree["ITEM"], std::make_pair(std::string("GRP"), uint64_t{2}));
  EXPECT_EQ(tree["STRAY"], std::make_pair(std::string(), uint64_t{0}));

  const json joe = get("/api/v1/answers?profile=joe");
  EXPECT_EQ(joe["profile"], "JOE");
  ASSERT_EQ(4u, joe["answers"].size());
  EXPECT_EQ(joe["answers"][1]["function"], "GRP");
  EXPECT_EQ(joe["answers"][1]["source"], "children");
  EXPECT_EQ(joe["answers"][1]["setting"], "default");
  EXPECT_EQ(joe["answers"][2]["setting"], "denied");
  const json aud = get("/api/v1/answers?profile=AUD");
  EXPECT_EQ(aud["answers"][1]["setting"], "allowed");
  EXPECT_EQ(aud["answers"][1]["source"], "children");
  EXPECT_EQ(404u, Call("GET", "/api/v1/answers?profile=NOBODY", "", auth).status);

  // Query values and path names arrive percent-encoded.
  EXPECT_EQ(get("/api/v1/why?profile=%4Aoe&function=IT%45M")["source"], "own");
  EXPECT_EQ(get("/api/v1/profiles/J%4FE")["name"], "JOE");
  std::vector<std::string> names;
  for (const json& p : get("/api/v1/profiles")) names.push_back(p["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"ADMIN", "AUD", "JOE", "SLOW"}));
  EXPECT_EQ(400u, Call("GET", "/api/v1/audit?since=yesterday", "", auth).status);
  EXPECT_EQ(0u, get("/api/v1/audit?until=2000-01-01").size());
  EXPECT_EQ(audited + 3, get("/api/v1/audit?since=2000-01-01T00:00:00Z").size());
}

// Profiles and functions are made, changed and removed whole: a request
// that cannot be carried out in full leaves nothing behind, and a body of
// the wrong shape is refused before the store is touched.
TEST_F(AdminApiTest, ProfilesAndFunctionsAreMadeWholeOrNotAtAll) {
  const json admin = SignIn("ADMIN");
  const std::map<std::string, std::string> auth{
      {"authorization", "Bearer " + admin["token"].get<std::string>()}};
  auto call = [&](const char* method, const std::string& path, const std::string& body) {
    return Call(method, path, body, auth).status;
  };
  const size_t audited = json::parse(Call("GET", "/api/v1/audit", "", auth).body).size();

  EXPECT_EQ(400u, call("POST", "/api/v1/profiles",
                       R"({"name": "NEW", "password": "pw", "groups": ["NOBODY"]})"));
  EXPECT_EQ(400u, call("POST", "/api/v1/profiles", R"({"name": "NEW"})"));
  EXPECT_EQ(400u,
            call("POST", "/api/v1/profiles", R"({"name": "TOO LONG NAME", "password": "p"})"));
  EXPECT_EQ(404u, call("GET", "/api/v1/profiles/NEW", ""));
  EXPECT_EQ(201u, call("POST", "/api/v1/profiles",
                       R"({"name": "new", "password": "pw", "fast_hash": true, "groups": ["JOE"],
                          "auditor": true})"));
  const json made = json::parse(Call("GET", "/api/v1/profiles/NEW", "", auth).body);
  EXPECT_EQ(made["groups"], json::array({"JOE"}));
  EXPECT_TRUE(made["auditor"].get<bool>());
  EXPECT_EQ(400u, call("POST", "/api/v1/profiles", R"({"name": "NEW", "password": "pw"})"));
  EXPECT_EQ(400u, call("PUT", "/api/v1/profiles/NEW", R"({"auditor": "yes"})"));
  EXPECT_EQ(400u, call("PUT", "/api/v1/profiles/NEW", "{}"));
  EXPECT_EQ(404u, call("PUT", "/api/v1/profiles/NEW", R"({"groups": ["NOBODY"]})"));
  EXPECT_EQ(made, json::parse(Call("GET", "/api/v1/profiles/NEW", "", auth).body));
  EXPECT_EQ(200u, call("DELETE", "/api/v1/profiles/NEW", ""));
  EXPECT_EQ(404u, call("DELETE", "/api/v1/profiles/NEW", ""));

  const std::string f1 = R"({"id": "F1", "type": "3", "root": "ROOT", "parent": "ROOT"})";
  EXPECT_EQ(201u, call("POST", "/api/v1/functions", f1));
  EXPECT_EQ(400u, call("POST", "/api/v1/functions", f1)) << "registered already";
  EXPECT_EQ(400u, call("POST", "/api/v1/functions", R"({"type": "3"})"));
  for (const char* bad : {R"({"id": "F2"})", R"({"default_usage": "7"})",
                          R"({"indicators": ["1", "2"]})", R"({"name": 5})", "[1]", "not json"})
    EXPECT_EQ(400u, call("PUT", "/api/v1/functions/F1", bad)) << bad;
  EXPECT_EQ(200u, call("PUT", "/api/v1/functions/F1", R"({"name": "first"})"));
  EXPECT_EQ(
      "first",
      json::parse(Call("GET", "/api/v1/functions/F1", "", auth).body)["name"].get<std::string>());
  EXPECT_EQ(200u, call("DELETE", "/api/v1/functions/F1", ""));
  EXPECT_EQ(404u, call("GET", "/api/v1/functions/F1", ""));
  EXPECT_EQ(404u, call("PUT", "/api/v1/functions/F1", R"({"name": "again"})"));

  EXPECT_EQ(400u, call("PUT", "/api/v1/host", R"({"version": -1})"));
  EXPECT_EQ(400u, call("PUT", "/api/v1/host", R"({"version": 4294967296})"));
  EXPECT_EQ(400u, call("POST", "/api/v1/import", "{not json"));
  EXPECT_EQ(400u, call("POST", "/api/v1/import?dry_run=1", R"({"functions": 3})"));
  // Made: the profile (added, then removed; its groups and auditor role
  // each a change of their own) and the function (added, renamed, removed).
  const json trail = json::parse(Call("GET", "/api/v1/audit", "", auth).body);
  EXPECT_EQ(audited + 7, trail.size()) << trail.dump();
}

// Bodies of every wrong shape, to every resource that reads one, are
// refused with a 4xx; none ends the server or changes anything.
TEST_F(AdminApiTest, HostileBodiesAreRefusedAndChangeNothing) {
  const json admin = SignIn("ADMIN");
  const std::map<std::string, std::string> auth{
      {"authorization", "Bearer " + admin["token"].get<std::string>()}};
  const std::string export_before = Call("GET", "/api/v1/export", "", auth).body;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string bodies[] = {"",
                                "null",
                                "[]",
                                "\"text\"",
                                "1e999",
                                "{\"name\": {}, \"password\": []}",
                                "{\"name\": \"Z\", \"password\": \"p\", \"fast_hash\": \"yes\"}",
                                "{\"name\": \"Z\", \"password\": \"p\", \"groups\": [1]}",
                                "{\"profile\": 1, \"function\": [], \"usage\": null}",
                                "[{\"profile\": \"JOE\"}, 7]",
                                "{\"id\": \"ROOT2\", \"indicators\": \"abc\"}",
                                "{\"version\": \"7\", \"release\": 1.5}",
                                "{\"groups\": \"JOE\"}",
                                "{\"functions\": [{\"id\": 5}]}",
                                std::string("{\"name\": \"\xff\xfe\"}"),
                                deep};
  const std::pair<const char*, const char*> targets[] = {
      {"PUT", "/api/v1/host"},           {"POST", "/api/v1/functions"},
      {"PUT", "/api/v1/functions/ROOT"}, {"POST", "/api/v1/profiles"},
      {"PUT", "/api/v1/profiles/JOE"},   {"PUT", "/api/v1/usage"},
      {"POST", "/api/v1/import"},        {"POST", "/api/v1/import?dry_run=1"}};
  for (const auto& [method, path] : targets) {
    for (const std::string& body : bodies) {
      const unsigned status = Call(method, path, body, auth).status;
      EXPECT_TRUE(status >= 400 && status < 500)
          << method << " " << path << " " << body.substr(0, 60) << ": " << status;
    }
  }
  EXPECT_EQ(export_before, Call("GET", "/api/v1/export", "", auth).body);
}

// A sign-in whose password check takes long holds its own connection and
// nothing else: other requests, sign-ins included, are answered meanwhile.
TEST_F(AdminApiTest, ASlowSignInHoldsUpNoOtherRequest) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> held{false};
  faults_.before_password_check = [&](const std::string& profile) {
    if (profile != "SLOW") return;
    held = true;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
  };
  AdminListener listener([this](const AdminRequest& r) {
    auto answer = api_->Answer(r);
    return answer ? *answer : AdminResponse{404, "text/plain", "", {}};
  });
  std::string error;
  ASSERT_TRUE(listener.Start({"127.0.0.1", 0}, "", "", &error)) << error;
  const std::string url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/api/v1/";
  auto sign_in = [&](const char* profile) {
    return testing::HttpSend(url + "session", "POST",
                             json{{"profile", profile}, {"password", "pw"}}.dump());
  };
  const json admin = json::parse(sign_in("ADMIN").body);
  std::atomic<long> slow{-1};  // its status once answered
  std::thread waiting([&] { slow = sign_in("SLOW").status; });
  ASSERT_TRUE(testing::WaitUntil([&] { return held.load(); }));
  const std::vector<std::string> bearer = {"Authorization: Bearer " +
                                           admin["token"].get<std::string>()};
  EXPECT_EQ(200, testing::HttpSend(url + "host", "GET", "", bearer).status);
  EXPECT_EQ(200, sign_in("JOE").status);
  EXPECT_EQ(-1, slow.load()) << "still held";
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  waiting.join();
  EXPECT_EQ(200, slow.load());
}

}  // namespace
}  // namespace zvt::hostd

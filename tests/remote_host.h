// On Windows, the host server the tests call is one of the Linux build, run
// by its control process (zvt_host_control, found through the port in
// $ZVT_HOST_CONTROL) and driven over host_control_protocol.h. These types
// stand for the host store and server of that build with the part of their
// interface the tests use, so the same tests build against either.
#ifndef ZVT_TESTS_REMOTE_HOST_H_
#define ZVT_TESTS_REMOTE_HOST_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "testing/server_faults.h"

namespace zvt::hostd {

using Stamp = std::array<uint8_t, 8>;

struct FunctionRow {
  std::string id;
  std::string category = "1";
  std::string type = "3";
  std::string root;
  std::string parent = "*NONE";
  std::string name, name2;
  std::string description, description2;
  std::string indicator1 = "1", indicator2 = "0", indicator3 = "0";
  std::string default_usage = "2";
};

struct Timestamps {
  Stamp user{}, rep{}, hier{};
};

enum class HashStrength { kInteractive, kFast };

struct ServerOptions {
  std::string store_path;  // kept by the control process; this is not used
  uint32_t version = 0;
  uint32_t release = 0;
  bool allow_fast_hashes = false;  // the control process's server allows them always
};

// The control process's store. Opening one empties it: each test starts
// from nothing, as with a store of its own.
class HostStore {
 public:
  static std::unique_ptr<HostStore> Open(const std::string& path, std::string* error);

  // Profiles get the cheap password hash whatever `strength` says.
  bool AddProfile(const std::string& name, const std::string& password, HashStrength strength,
                  std::string* error);
  bool SetAllProfiles(const std::string& name, bool all, std::string* error);
  bool AddFunction(const FunctionRow& row, std::string* error);
  bool SetUsage(const std::string& profile, const std::string& function, const std::string& usage,
                std::string* error);
  bool GetTimestamps(const std::string& profile, Timestamps* stamps, bool* known,
                     std::string* error);
};

// The control process's server; one runs at a time.
class HostServer {
 public:
  // The control process's server takes the faults' numbers (its
  // before_password_check is not carried over).
  HostServer(ServerOptions options, const testing::ServerFaults* faults)
      : options_(std::move(options)),
        faults_(faults != nullptr ? *faults : testing::ServerFaults()) {}
  ~HostServer() { Stop(); }
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  bool Start(std::string* error);
  void Stop();
  uint16_t port() const { return port_; }
  uint64_t calls_answered() const;
  uint64_t calls_of(const std::string& program) const;

 private:
  ServerOptions options_;
  testing::ServerFaults faults_;
  uint16_t port_ = 0;
  bool running_ = false;
};

}  // namespace zvt::hostd

#endif  // ZVT_TESTS_REMOTE_HOST_H_

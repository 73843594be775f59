// The client's connection, system-object, configuration and message-log
// services. Their operations are added by the client-services work; until
// then the binding holds an empty implementation.
#ifndef ZVT_SERVICES_CLIENT_H_
#define ZVT_SERVICES_CLIENT_H_

namespace zvt {

class ClientApi {
 public:
  virtual ~ClientApi() = default;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_CLIENT_H_

// The remote program call library through which host programs are called.
// Its operations are added with the remote program call work.
#ifndef ZVT_SERVICES_PROGRAM_CALLS_H_
#define ZVT_SERVICES_PROGRAM_CALLS_H_

namespace zvt {

class ProgramCallApi {
 public:
  virtual ~ProgramCallApi() = default;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_PROGRAM_CALLS_H_

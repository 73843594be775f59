// The shared commit counter: one 8-byte word of a mapped file.
#include "platform/change_counter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvt::platform {

std::unique_ptr<ChangeCounter> ChangeCounter::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  struct stat info {};
  // A new file gets its word; growing it is the same for every process.
  if (::fstat(fd, &info) != 0 || (info.st_size < 8 && ::ftruncate(fd, 8) != 0)) {
    ::close(fd);
    return nullptr;
  }
  void* map = ::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);  // the mapping stays
  if (map == MAP_FAILED) return nullptr;
  return std::unique_ptr<ChangeCounter>(new ChangeCounter(static_cast<std::uint64_t*>(map)));
}

ChangeCounter::~ChangeCounter() { ::munmap(word_, 8); }

std::uint64_t ChangeCounter::Load() const { return __atomic_load_n(word_, __ATOMIC_ACQUIRE); }

void ChangeCounter::Bump() { __atomic_add_fetch(word_, 1, __ATOMIC_RELEASE); }

}  // namespace zvt::platform

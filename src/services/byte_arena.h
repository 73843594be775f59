// Memory handed out piece by piece from chunks that never move: what is
// gathered one piece at a time is never copied into a larger buffer on the
// way, so each page is touched once, and it all goes at once. Header-only:
// the stand-ins use it as well as the library.
#ifndef ZVT_SERVICES_BYTE_ARENA_H_
#define ZVT_SERVICES_BYTE_ARENA_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

namespace zvt {

class ByteArena {
 public:
  ByteArena() = default;
  // The chunks move with their pieces; the arena moved from is empty.
  ByteArena(ByteArena&& other) noexcept { *this = std::move(other); }
  ByteArena& operator=(ByteArena&& other) noexcept {
    chunks_ = std::move(other.chunks_);
    next_ = std::exchange(other.next_, nullptr);
    left_ = std::exchange(other.left_, 0);
    held_ = std::exchange(other.held_, 0);
    next_chunk_ = std::exchange(other.next_chunk_, kFirstChunk);
    other.chunks_.clear();
    return *this;
  }

  // `size` bytes at an address aligned for `align` (a power of two no
  // larger than alignof(std::max_align_t)), valid until Release.
  void* Allocate(size_t size, size_t align = 1) {
    size_t pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
    if (left_ < pad || left_ - pad < size) {
      // Chunks double from small, so that a few pieces cost little, up to
      // a size that keeps them in the heap; a larger piece gets its own.
      const size_t chunk = size > kMaxChunk ? size : std::max(next_chunk_, size);
      next_chunk_ = std::min(next_chunk_ * 2, kMaxChunk);
      chunks_.push_back(Chunk{std::unique_ptr<unsigned char[]>(new unsigned char[chunk]), chunk});
      held_ += chunk;
      next_ = chunks_.back().bytes.get();
      left_ = chunk;
      pad = 0;  // new[] aligns for every fundamental type
    }
    void* piece = next_ + pad;
    next_ += pad + size;
    left_ -= pad + size;
    return piece;
  }

  // What the chunks hold, used or not.
  size_t bytes() const { return held_; }

  // Gives back the chunks before the one that holds `piece` (handed out by
  // Allocate): what was gathered before it is no longer needed.
  void ReleaseBefore(const void* piece) {
    if (piece == nullptr) return;
    const auto at = reinterpret_cast<std::uintptr_t>(piece);
    while (chunks_.size() > 1) {
      const auto begin = reinterpret_cast<std::uintptr_t>(chunks_.front().bytes.get());
      if (at >= begin && at <= begin + chunks_.front().size) break;
      held_ -= chunks_.front().size;
      chunks_.pop_front();
    }
  }

  // Gives every chunk back.
  void Release() {
    std::deque<Chunk>().swap(chunks_);
    next_ = nullptr;
    left_ = 0;
    held_ = 0;
    next_chunk_ = kFirstChunk;
  }

 private:
  static constexpr size_t kFirstChunk = 256;
  static constexpr size_t kMaxChunk = 64 * 1024;

  struct Chunk {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size;
  };

  std::deque<Chunk> chunks_;
  unsigned char* next_ = nullptr;
  size_t left_ = 0;
  size_t held_ = 0;
  size_t next_chunk_ = kFirstChunk;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_BYTE_ARENA_H_

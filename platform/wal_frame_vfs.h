// A SQLite VFS that writes each frame of a write-ahead log in one system
// call. SQLite writes a frame as two writes side by side, its 24-byte
// header and then its page; this VFS keeps the header back until the page
// comes and writes both together. Everything else goes to the VFS that was
// the default when this one was first asked for.
#ifndef ZVT_PLATFORM_WAL_FRAME_VFS_H_
#define ZVT_PLATFORM_WAL_FRAME_VFS_H_

namespace zvt::platform {

// The VFS's name for sqlite3_open_v2, registered on the first call; null
// when SQLite refused it (then the default serves).
const char* WalFrameVfsName();

}  // namespace zvt::platform

#endif  // ZVT_PLATFORM_WAL_FRAME_VFS_H_

#pragma once

#include <cstdint>

#include "platform/fileio.h"

// A FileHandle on POSIX is a file descriptor + 1, so that descriptor 0 is
// not the null handle; streams made from handles (platform/posix/stream.cpp)
// turn them back.
inline FileHandle FromFd(int fd) {
  return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}
inline int ToFd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1); }

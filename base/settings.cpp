#include "base/settings.h"

#include <algorithm>
#include <cstring>

void CopySetting(char* out, int size, const std::string& value) {
  if (size <= 0) return;
  const size_t length = std::min(value.size(), static_cast<size_t>(size - 1));
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
}

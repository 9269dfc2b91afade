#include "platform/profile.h"

#include <windows.h>

int ProfileGetString(const char* section, const char* key, const char* def, char* out, int size,
                     const char* file) {
  return static_cast<int>(
      GetPrivateProfileStringA(section, key, def, out, static_cast<DWORD>(size), file));
}

int ProfileGetSection(const char* section, char* out, int size, const char* file) {
  return static_cast<int>(GetPrivateProfileSectionA(section, out, static_cast<DWORD>(size), file));
}

int ProfileGetInt(const char* section, const char* key, int def, const char* file) {
  return static_cast<int>(GetPrivateProfileIntA(section, key, def, file));
}

int ProfileWriteString(const char* section, const char* key, const char* value, const char* file) {
  return WritePrivateProfileStringA(section, key, value, file) ? 1 : 0;
}

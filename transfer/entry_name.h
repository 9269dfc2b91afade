#pragma once
// Entry names: the base name under which a host member is stored, backed up
// and converted. From file and member it is the member alone when the two are
// equal without regard to ASCII case, else file + "_" + member.

// file is fileLength bytes; member is zero-terminated. Returns false, with out
// emptied, when the name does not fit in outSize - 1 bytes.
bool MakeEntryName(const char* file, int fileLength, const char* member, char* out, int outSize);

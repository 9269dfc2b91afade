#pragma once
// Checking a hand-written field list, and the image it describes, before a
// conversion trips over them (fdfmake --check).
#include <string>

#include "convert/code_tables.h"

// Reads the .fdf at fdfPath and, when imagePath is given, the image; appends
// one line ("  " name text) to report per finding. Returns the number of findings.
int CheckFieldListAndImage(const char* fdfPath, const char* imagePath, const CodeTables& tables,
                           std::string* report);

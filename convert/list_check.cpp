#include "convert/list_check.h"

#include <cstdio>

#include "base/texts.h"
#include "convert/field_list.h"
#include "convert/host_layout.h"
#include "platform/stream.h"

int CheckFieldListAndImage(const char* fdfPath, const char* imagePath, const CodeTables& tables,
                           std::string* report) {
  (void)imagePath;
  (void)tables;
  FILE* fdf = OpenStream(fdfPath, "r");
  if (fdf == nullptr) {
    AppendReportLine(report, fdfPath, kTextFdfmakeUnreadable);
    return 1;
  }
  FieldList list;
  const bool read = ReadFieldList(fdf, &list);
  std::fclose(fdf);
  if (!read) {
    AppendReportLine(report, fdfPath, kTextFdfMalformed);
    return 1;
  }
  return 0;
}

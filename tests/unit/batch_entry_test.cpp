#include <gtest/gtest.h>

#include <string>

#include "transfer/db2_line.h"

namespace {

struct EntryCase {
  const char* line;
  int found;
  const char* entry;
  const char* why;
};

const EntryCase kEntryCases[] = {
    {"get PRODLIB/ORDERS.ORDERS", 1, "ORDERS", "file and member equal"},
    {"get PRODLIB/ORDERS.ORD2011", 1, "ORDERS_ORD2011", "names differ"},
    {"get PRODLIB/Orders.ORDERS", 1, "ORDERS", "equal ignoring case: the member's spelling"},
    {"cd PRODLIB", 0, "", "no slash"},
    {"/PRODLIB/ITEMS.M1", 1, "ITEMS_M1", "a leading slash is left out"},
    {"get PRODLIB/CUSTOMER", 0, "", "no dot"},
    {"/ITEMS.M1", 0, "", "only the leading slash"},
    {"get LIB/A.B.C", 1, "A_B.C", "split at the first dot only"},
    {"get LIB/CUST.CUST extra", 1, "CUST_CUST extra", "the member runs to the end of the line"},
    {"get LIB/SUB/X.Y", 1, "SUB/X_Y", "everything after the first slash"},
    {"", 0, "", "empty line"},
    {"get LIB/ア.ヂ", 1, "ア_ヂ", "trail bytes 0x41 and 0x61 are not letters"},
    {"get LIB/表.表", 1, "表", "equal double-byte names"},
    {"get LIB/ｶa.ｶA", 1, "ｶA", "half-width katakana is single-byte; the letter still folds"},
    {"get LIB/Ａ.ａ", 1, "Ａ_ａ", "full-width letters are not ASCII"},
    {"get 表/X.Y", 1, "X_Y", "a trail byte 0x5C before the slash"},
    // A get line's name is the one the FTP job stores the image under.
    {"get /LIB/CUST.CUST", 1, "CUST", "the slash search starts behind \"get /\""},
    {"get CUSTOMER.CUSTOMER", 1, "CUSTOMER", "a get line without a library"},
    {"put /LIB/CUST.CUST", 1, "LIB/CUST_CUST", "other lines keep the first slash"},
};

TEST(ConversionEntryName, Table) {
  for (const EntryCase& c : kEntryCases) {
    char entry[52];
    EXPECT_EQ(ConversionEntryName(c.line, entry, sizeof entry), c.found) << c.why;
    EXPECT_STREQ(entry, c.entry) << c.why;
  }
}

TEST(ConversionEntryName, RefusesNamesLongerThanTheFileBaseName) {
  char entry[52];
  const std::string fits = "get LIB/" + std::string(51, 'M');
  EXPECT_EQ(ConversionEntryName((fits + "." + std::string(51, 'M')).c_str(), entry, sizeof entry), 1);
  EXPECT_EQ(std::string(entry), std::string(51, 'M'));
  const std::string longer = "get LIB/F." + std::string(50, 'M');  // F_ + 50 = 52 characters
  EXPECT_EQ(ConversionEntryName(longer.c_str(), entry, sizeof entry), -1);
  EXPECT_STREQ(entry, "");
}

}  // namespace

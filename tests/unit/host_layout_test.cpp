#include "convert/host_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/texts.h"
#include "convert/field_list.h"
#include "convert/field_types.h"

namespace {

// ---- Outfile images, from the record format's table (1-based positions) ------

struct OutField {
  const char* name;
  char type;
  int bytes;
  int digits = 0;
  int decimals = 0;
  int ccsid = 0;
  bool varying = false;
  bool null = false;
};

unsigned char EbcdicOf(char c) {
  if (c >= 'A' && c <= 'I') return static_cast<unsigned char>(0xC1 + (c - 'A'));
  if (c >= 'J' && c <= 'R') return static_cast<unsigned char>(0xD1 + (c - 'J'));
  if (c >= 'S' && c <= 'Z') return static_cast<unsigned char>(0xE2 + (c - 'S'));
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(0xF0 + (c - '0'));
  if (c == '_') return 0x6D;
  if (c == '~') return 0x8A;  // a byte no shared letter has
  return 0x40;
}

void Put(std::string* r, int position, const std::string& bytes) { r->replace(position - 1, bytes.size(), bytes); }

std::string Text(const std::string& s, size_t width) {
  std::string out;
  for (size_t i = 0; i < width; ++i) out += static_cast<char>(EbcdicOf(i < s.size() ? s[i] : ' '));
  return out;
}

std::string Zoned(int v, int width) {
  std::string out(static_cast<size_t>(width), '\xF0');
  for (int i = width - 1; i >= 0 && v > 0; --i, v /= 10) out[static_cast<size_t>(i)] = static_cast<char>(0xF0 + v % 10);
  return out;
}

std::string Packed5(int v) {
  const int d[6] = {v / 10000 % 10, v / 1000 % 10, v / 100 % 10, v / 10 % 10, v % 10, 0xF};
  return {static_cast<char>(d[0] << 4 | d[1]), static_cast<char>(d[2] << 4 | d[3]), static_cast<char>(d[4] << 4 | d[5])};
}

// Changes to a file's records that describe a broken file.
struct Breaks {
  int recordLength = -1;  // WHRLEN, else the fields' sum
  int count = -1;         // WHFLDN
  int shiftAt = -1;       // this field's WHFOBO one byte late
};

std::string Outfile(const char* file, const std::vector<OutField>& fields, size_t size = 1040,
                    Breaks b = Breaks()) {
  int total = 0;
  for (const OutField& f : fields) total += f.bytes;
  std::string out;
  int position = 1;
  for (size_t i = 0; i < fields.size(); ++i) {
    const OutField& f = fields[i];
    std::string r(size, '\x40');
    Put(&r, 1, Text(file, 10));
    Put(&r, 11, Text("TESTLIB", 10));
    Put(&r, 47, Text(std::string(file).substr(0, 8) + "R", 10));
    Put(&r, 57, Text("0A1B2C3D4E5F6", 13));
    Put(&r, 120, Zoned(b.count >= 0 ? b.count : static_cast<int>(fields.size()), 5));
    Put(&r, 125, Zoned(b.recordLength >= 0 ? b.recordLength : total, 5));
    Put(&r, 130, Text(f.name[0] == '-' ? f.name + 1 : f.name, 10));
    Put(&r, 140, Text(f.name[0] == '-' ? "" : f.name, 10));  // "-X": no external name
    Put(&r, 150, Zoned(position + (static_cast<int>(i) == b.shiftAt ? 1 : 0), 5));
    Put(&r, 160, Zoned(f.bytes, 5));
    Put(&r, 165, Zoned(f.digits, 2));
    Put(&r, 167, Zoned(f.decimals, 2));
    r[321] = f.type == '5' ? '\xF5' : static_cast<char>(EbcdicOf(f.type));
    Put(&r, 492, Packed5(f.ccsid));
    r[499] = static_cast<char>(EbcdicOf(f.varying ? 'Y' : 'N'));
    r[503] = static_cast<char>(EbcdicOf(f.null ? 'Y' : 'N'));
    out += r;
    position += f.bytes;
  }
  return out;
}

// ---- What the readers make of an input -------------------------------------

// Each file's field lines (from PCFO on) or "refused", and the report.
struct Made {
  HostSource kind;
  std::string lists;
  std::string report;
};

Made MakeLists(const std::string& input, const char* inputName, const unsigned char* ebcdic = nullptr) {
  Made m;
  std::vector<HostFileLayout> files;
  m.kind = ReadHostDescription(input.data(), input.size(), inputName, ebcdic, &files, &m.report);
  for (const HostFileLayout& file : files) {
    std::string fdf;
    if (MakeFieldListText(file, inputName, "2026-01-01", &fdf, &m.report)) {
      m.lists += fdf.substr(fdf.find("PCFO"));
    } else {
      m.lists += file.file + " refused\n";
    }
  }
  return m;
}

std::string Dds(const std::vector<std::string>& specs) {
  std::string out;
  for (const std::string& s : specs) out += "     A" + s + "\r\n";
  return out;
}

struct Row {
  const char* what;
  std::string input;
  const char* inputName;
  HostSource kind;
  const char* lists;   // every file's lines from PCFO on, or "<file> refused"
  const char* report;  // a text the report must hold ("" for none)
  const char* reportName;  // and the name before it
};

TEST(HostLayout, EveryReaderEveryTypeAndEveryRefusal) {
  const HostSource kOut = HostSource::kOutfile, kDds = HostSource::kDds, kSql = HostSource::kSql,
                   kNone = HostSource::kUnknown;
  const Row rows[] = {
      // ---- DSPFFD outfile ----
      {"every type", Outfile("ALLTYPES", {{"A1", 'A', 3, 0, 0, 930}, {"O1", 'O', 4}, {"J1", 'J', 6},
                                          {"E1", 'E', 5}, {"G1", 'G', 6, 3, 0, 300}, {"U1", 'G', 6, 3, 0, 1200},
                                          {"U2", 'G', 8, 3, 0, 13488}, {"N1", 'G', 8, 3, 0, 1200, true},
                                          {"V1", 'A', 12, 0, 0, 930, true}, {"P1", 'P', 5, 9, 2},
                                          {"P2", 'P', 4, 7, 0}, {"S1", 'S', 7, 7, 2}, {"B1", 'B', 2, 4, 1},
                                          {"B2", 'B', 4, 9}, {"B3", 'B', 8, 18, 3}, {"F1", 'F', 4, 7},
                                          {"F2", 'F', 8, 17}, {"H1", 'H', 8, 0, 0, 65535},
                                          {"L1", 'L', 10}, {"T1", 'T', 8}, {"Z1", 'Z', 26}}),
       "QVFIELDS.QVFIELDS", kOut,
       "PCFO ALLTYPES\nPCFL A1 A 3\nPCFL O1 A 4\nPCFL J1 A 6\nPCFL E1 A 5\nPCFL G1 W 6\nPCFL U1 U 6\n"
       "PCFL U2 U 8\nPCFL N1 N 6\nPCFL V1 V 10\nPCFL P1 2 10/2\nPCFL P2 2 8\nPCFL S1 S 7/2\n"
       "PCFL B1 B 2/1\nPCFL B2 B 4\nPCFL B3 B 8/3\nPCFL F1 F 4\nPCFL F2 F 8\nPCFL H1 H 8\n"
       "PCFL L1 A 10\nPCFL T1 A 8\nPCFL Z1 A 26\n",
       "", ""},
      {"two files, records of 600 bytes, an internal name, null-capable",
       Outfile("ONE", {{"-INNER", 'A', 2}}, 600) + Outfile("TWO", {{"X", 'P', 3, 5, 0, 0, false, true}}, 600),
       "two.ffd", kOut, "PCFO ONE\nPCFL INNER A 2\nPCFO TWO\nPCFL X 2 6\n", kTextFdfmakeNullCapable, "TWO"},
      {"UTF-8 text", Outfile("F", {{"OK", 'A', 2}, {"U8", 'A', 4, 0, 0, 1208}}), "f", kOut, "F refused\n",
       "", "F U8"},
      {"varying DBCS graphic", Outfile("F", {{"VG", 'G', 8, 3, 0, 300, true}}), "f", kOut, "F refused\n", "", "F VG"},
      {"varying hex", Outfile("F", {{"VH", 'H', 8, 0, 0, 65535, true}}), "f", kOut, "F refused\n", "", "F VH"},
      {"type 5", Outfile("F", {{"C5", '5', 8}}), "f", kOut, "F refused\n", "", "F C5"},
      {"a length no type allows", Outfile("F", {{"S0", 'S', 70, 70}}), "f", kOut, "F refused\n", "", "F S0"},
      {"positions not contiguous", Outfile("F", {{"A", 'A', 2}, {"B", 'A', 2}}, 1040, Breaks{-1, -1, 1}), "f",
       kOut, "F refused\n", "", "F B"},
      {"record length not the sum", Outfile("F", {{"A", 'A', 2}}, 1040, Breaks{3}), "f", kOut, "F refused\n",
       "", "F"},
      {"field count not the records'", Outfile("F", {{"A", 'A', 2}}, 1040, Breaks{-1, 2}), "f", kNone, "",
       kTextFdfmakeNoRecordLength, "f"},
      {"another file's record in the middle",
       Outfile("F", {{"A", 'A', 2}, {"C", 'A', 2}}).insert(1040, Outfile("G", {{"B", 'A', 2}})), "f", kOut,
       "F refused\nPCFO G\nPCFL B A 2\n", kTextFdfmakeInterleaved, "F"},
      {"no record length fits", Outfile("F", {{"A", 'A', 2}, {"B", 'A', 2}}) + std::string(7, '\x40'), "img", kNone, "",
       kTextFdfmakeNoRecordLength, "img"},
      {"a name the shared letters do not hold", Outfile("F", {{"A~", 'A', 2}}), "f", kOut, "F refused\n",
       kTextFdfmakeNameUndecodable, "F 1"},
      // ---- DDS ----
      {"DDS: every type and keyword",
       Dds({"*  a comment: R K 9P", "          R ORDERSR                   TEXT('x')",
            "            PCK            7  2", "            CHR           10",
            "            A1             3A", "            O1             4O         VARLEN",
            "            J1             6J", "            E1             5E",
            "            G1             3G", "            U1             3G         CCSID(1200)",
            "            N1             3G         VARLEN CCSID(13488)", "            P1             9P 2",
            "            P2             8P 0", "            S1             7S 2",
            "            B1             4B 1", "            B2             9B 0", "            B3            18B 3",
            "            F1             7F 2", "            F2            15F 2       FLTPCN(*DOUBLE)",
            "            H1             8H", "            L1              L", "            L2              L         DATFMT(*MDY)",
            "            L3              L         TEXT('a +", "                                      long text') +",
            "                                      DATFMT(*JUL)", "            T1              T         TIMFMT(*HMS)",
            "            Z1              Z         ALWNULL", "          K PCK"}),
       "ORDERS.MBR.dds", kDds,
       "PCFO ORDERS\nPCFL PCK 2 8/2\nPCFL CHR A 10\nPCFL A1 A 3\nPCFL O1 V 4\nPCFL J1 A 6\nPCFL E1 A 5\n"
       "PCFL G1 W 6\nPCFL U1 U 6\nPCFL N1 N 6\nPCFL P1 2 10/2\nPCFL P2 2 10\nPCFL S1 S 7/2\nPCFL B1 B 2/1\n"
       "PCFL B2 B 4\nPCFL B3 B 8/3\nPCFL F1 F 4\nPCFL F2 F 8\nPCFL H1 H 8\nPCFL L1 A 10\nPCFL L2 A 8\n"
       "PCFL L3 A 6\nPCFL T1 A 8\nPCFL Z1 A 26\n",
       kTextFdfmakeNullCapable, "ORDERS"},
      {"DDS: R in column 29", Dds({"          R FMT", "            CUST      R"}), "F.TXT", kDds, "F refused\n",
       kTextFdfmakeReference, "F CUST"},
      {"DDS: REFFLD", Dds({"          R FMT", "            CUST      R              REFFLD(CUSTNO CUSTF)"}), "F",
       kDds, "F refused\n", kTextFdfmakeReference, "F CUST"},
      {"DDS: no length", Dds({"          R FMT", "            CUST           P"}), "F", kDds, "F refused\n", "",
       "F"},
      {"DDS: binary of 19 digits", Dds({"          R FMT", "            CUST          19B 0"}), "F", kDds,
       "F refused\n", "", "F"},
      {"DDS: varying DBCS graphic", Dds({"          R FMT", "            VG             5G         VARLEN"}), "F",
       kDds, "F refused\n", "", "F VG"},
      {"DDS: UTF-8 text", Dds({"          R FMT", "            U8             5A         CCSID(1208)"}), "F", kDds,
       "F refused\n", "", "F U8"},
      // ---- SQL ----
      {"SQL: every type and clause",
       "-- Generate SQL\nSET PATH \"QSYS\" ;\n/* a comment; CREATE TABLE X (A INT) */\n"
       "CREATE OR REPLACE TABLE LIB.LONG_NAME FOR SYSTEM NAME SHORT (\n"
       " C1 CHAR(3) CCSID 930 NOT NULL DEFAULT 'a,b' , C2 CHARACTER , \"Lower\"\"q\" VARCHAR(10) ,\n"
       " CHARACTER_COLUMN FOR COLUMN C4 CHAR VARYING(5) , G1 GRAPHIC(3) CCSID 300 , G2 GRAPHIC(3) CCSID 1200 ,\n"
       " G3 VARGRAPHIC(4) CCSID 1200 , G4 GRAPHIC VARYING(2) CCSID 13488 , N1 NCHAR(2) , N2 NVARCHAR(3) ,\n"
       " N3 NATIONAL CHARACTER(2) , D1 DECIMAL(9, 2) , D2 DEC(8) , D3 DECIMAL , M1 NUMERIC(7, 2) ,\n"
       " I1 SMALLINT , I2 INTEGER , I3 INT , I4 BIGINT , R1 REAL , R2 DOUBLE , R3 DOUBLE PRECISION ,\n"
       " R4 FLOAT(10) , R5 FLOAT(40) , R6 FLOAT , T1 DATE , T2 TIME , T3 TIMESTAMP , T4 TIMESTAMP(0) ,\n"
       " H1 CHAR(8) FOR BIT DATA , H2 BINARY(4) , -- a comment, ) ;\n"
       " X1 INTEGER GENERATED ALWAYS AS IDENTITY (START WITH 1 INCREMENT BY 1) NOT NULL ,\n"
       " CONSTRAINT LIB.PK PRIMARY KEY (C1) , UNIQUE (C2) , CHECK (I1 > 0) )\n RCDFMT SHORTR ;\n"
       "LABEL ON TABLE LIB.LONG_NAME IS 'A ( table' ;\nLABEL ON COLUMN LIB.LONG_NAME ( C1 IS 'x' ) ;\n",
       "long.sql", kSql,
       "PCFO SHORT\nPCFL C1 A 3\nPCFL C2 A 1\nPCFL Lower\"q V 10\nPCFL CHARACTER_COLUMN V 5\nPCFL G1 W 6\n"
       "PCFL G2 U 6\nPCFL G3 N 8\nPCFL G4 N 4\nPCFL N1 U 4\nPCFL N2 N 6\nPCFL N3 U 4\nPCFL D1 2 10/2\n"
       "PCFL D2 2 10\nPCFL D3 2 6\nPCFL M1 S 7/2\nPCFL I1 B 2\nPCFL I2 B 4\nPCFL I3 B 4\nPCFL I4 B 8\n"
       "PCFL R1 F 4\nPCFL R2 F 8\nPCFL R3 F 8\nPCFL R4 F 4\nPCFL R5 F 8\nPCFL R6 F 8\nPCFL T1 A 10\n"
       "PCFL T2 A 8\nPCFL T3 A 26\nPCFL T4 A 19\nPCFL H1 H 8\nPCFL H2 H 4\nPCFL X1 B 4\n",
       kTextFdfmakeNullCapable, "SHORT"},
      {"SQL: two tables, NOT NULL everywhere",
       "create table A (X int not null);\ncreate table \"b\" (Y char(2) not null)", "two.sql", kSql,
       "PCFO A\nPCFL X B 4\nPCFO b\nPCFL Y A 2\n", "", ""},
      {"SQL: VARBINARY", "CREATE TABLE F (A VARBINARY(4) NOT NULL)", "f", kSql, "F refused\n", "", "F A"},
      {"SQL: VARCHAR FOR BIT DATA", "CREATE TABLE F (A VARCHAR(4) FOR BIT DATA)", "f", kSql, "F refused\n", "",
       "F A"},
      {"SQL: DECFLOAT", "CREATE TABLE F (A DECFLOAT(16))", "f", kSql, "F refused\n", "", "F A"},
      {"SQL: CLOB", "CREATE TABLE F (A CLOB(1M))", "f", kSql, "F refused\n", "", "F A"},
      {"SQL: CHAR LARGE OBJECT", "CREATE TABLE F (A CHAR LARGE OBJECT(1M))", "f", kSql, "F refused\n", "", "F A"},
      {"SQL: UTF-8 text", "CREATE TABLE F (A CHAR(4) CCSID 1208)", "f", kSql, "F refused\n", "", "F A"},
      {"SQL: VARGRAPHIC of the DBCS CCSID", "CREATE TABLE F (A VARGRAPHIC(4) CCSID 300)", "f", kSql,
       "F refused\n", "", "F A"},
      {"SQL: a name with a blank", "CREATE TABLE F (\"A B\" CHAR(4))", "f", kSql, "F refused\n",
       kTextFdfmakeBadName, "F A B"},
      {"SQL: AS SELECT", "CREATE TABLE F AS (SELECT * FROM G) WITH DATA", "f", kSql, "F refused\n",
       kTextFdfmakeSqlUnreadable, "f F"},
      {"SQL: a table name that is no file name", "CREATE TABLE \"A/B\" (X INT)", "f", kSql, "A/B refused\n",
       kTextFdfmakeBadName, "A/B"},
      // ---- none of them ----
      {"plain text", "Hello\r\nworld\r\n", "hello.txt", kNone, "", kTextFdfmakeUnknownInput, "hello.txt"},
      {"binary", std::string("\0\1\2", 3), "bin", kNone, "", kTextFdfmakeUnknownInput, "bin"},
      {"empty", "", "empty", kNone, "", kTextFdfmakeUnknownInput, "empty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Made m = MakeLists(row.input, row.inputName);
    EXPECT_EQ(m.kind, row.kind);
    EXPECT_EQ(m.lists, row.lists);
    if (row.reportName[0] != '\0') {
      EXPECT_NE(m.report.find(std::string("  ") + row.reportName + row.report), std::string::npos) << m.report;
    } else {
      EXPECT_EQ(m.report, "");
    }
  }
}

TEST(HostLayout, NamesDecodeThroughTheEbcdicTable) {
  unsigned char table[256] = {};
  for (int c = 'A'; c <= 'Z'; ++c) table[EbcdicOf(static_cast<char>(c))] = static_cast<unsigned char>(c);
  table[0x8A] = 0xB1;  // a half-width katakana
  const Made m = MakeLists(Outfile("F", {{"A~", 'A', 2}}), "f", table);
  EXPECT_EQ(m.lists, "PCFO F\nPCFL A\xB1 A 2\n");
}

TEST(HostLayout, ListTextHeaderAndSameContent) {
  std::vector<HostFileLayout> files;
  std::string report;
  const std::string image = Outfile("F", {{"A", 'P', 3, 5}});
  ReadHostDescription(image.data(), image.size(), "F.FFD", nullptr, &files, &report);
  std::string a;
  std::string b;
  ASSERT_TRUE(MakeFieldListText(files[0], "F.FFD", "2026-01-01", &a, &report));
  ASSERT_TRUE(MakeFieldListText(files[0], "G.FFD", "2026-01-02", &b, &report));
  EXPECT_EQ(a,
            "* TESTLIB/F record format FR level 0A1B2C3D4E5F6 record length 3\n"
            "* fdfmake F.FFD 2026-01-01\nPCFO F\nPCFL A 2 6\n");
  EXPECT_TRUE(SameFieldListText(a, b));
  EXPECT_FALSE(SameFieldListText(a, a + "PCFL B A 1\n"));
  // The list made parses to the record the host described.
  FieldList list;
  ASSERT_TRUE(ParseFieldList(a.data(), a.size(), &list));
  EXPECT_EQ(list.recordLength(), 3);
}

TEST(HostLayout, SameLayoutIgnoresNamesAndDisplayForms) {
  struct {
    const char* listed;
    const char* made;
    bool same;
  } rows[] = {
      {"PCFL X 2 10\nPCFL Y A 4\n", "PCFL A 2 10\nPCFL B A 4\n", true},
      {"PCFL X d 10\nPCFL Y I 4\nPCFL Z 1 4\nPCFL W y 11/2\n", "PCFL A 2 10\nPCFL B A 4\nPCFL C W 4\nPCFL D 2 10/2\n",
       true},
      {"PCFL X 2 10\n", "PCFL X 2 10\nPCFL Y A 1\n", false},      // a field added
      {"PCFL X 2 10\nPCFL Y A 5\n", "PCFL X S 5\nPCFL Y A 5\n", false},  // packed made zoned
      {"PCFL X 2 10/2\n", "PCFL X 2 10\n", false},                // decimals
      {"PCFL X A 4\n", "PCFL X W 4\n", false},
      {"PCFL X H 4\n", "PCFL X A 4\n", true},  // FOR BIT DATA: A of CCSID 65535 in DSPFFD
      {"PCFL X A 4\n", "PCFL X H 4\n", false},
      {"PCFL X B 4/2\n", "PCFL X B 4\n", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.listed);
    FieldList listed;
    FieldList made;
    const std::string l = std::string("PCFO\n") + row.listed;
    const std::string m = std::string("PCFO\n") + row.made;
    ASSERT_TRUE(ParseFieldList(l.data(), l.size(), &listed));
    ASSERT_TRUE(ParseFieldList(m.data(), m.size(), &made));
    EXPECT_EQ(SameLayout(listed, made), row.same);
  }
}

}  // namespace

// Writes the example program folder: Quenvale.ini, CUSTOMER.fdf and a
// CUSTOMER.db2 of customer invoices, ORDERS.fdf and an ORDERS.db2 of order
// lines (zoned, binary, floating point, varying and Unicode fields), plus
// ccsid939-EBCDIC.txt, the [EBCDIC] section for host code page 939 ready to
// paste into Quenvale.ini.
//
// The [EBCDIC] entries come from the C library's iconv: every host
// single-byte code 0x40-0xFE of IBM930 (or IBM939) that converts to one code
// page 932 byte. The host image is built with iconv too (UTF-8 to IBM930), so
// its text is what an AS/400 with CCSID 930 delivers. Everything is
// deterministic: running the generator again gives the same bytes.
//
// Usage (from the repository root):
//   cmake --build --preset native --target make_examples
//   build/native/tools/make_examples/make_examples examples
//   python3 tools/make_examples/golden_orders.py examples   (the order example's CSVs)
//   python3 tools/make_examples/make_outfile.py examples    (CUSTOMER.FFD, ORDERS.FFD: the
//                                                            host's DSPFFD outfile images)
// ORDERS.dds and ORDERS.sql, the order file's DDS source and SQL, are kept by hand.
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kCrLf[] = "\r\n";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "make_examples: %s\n", what.c_str());
  std::exit(1);
}

// Converts in whole; fails the run when a character does not convert.
std::string Convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) Fail(std::string("iconv_open ") + from + " -> " + to);
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = &out[0];
  size_t dstLeft = out.size();
  if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) ||
      iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) {
    Fail("cannot convert \"" + in + "\" from " + from + " to " + to);
  }
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

std::string Sjis(const std::string& utf8) { return Convert("CP932", "UTF-8", utf8); }

// ---- [EBCDIC] sections -------------------------------------------------------

// Entries "0xXX c": two free characters, the host code in hex, a blank and the
// PC character; "0xXX" alone for the blank. The free characters are not
// blanks because the profile functions drop blanks at the start of a line.
std::string EbcdicSection(const char* hostCodePage) {
  std::string section = std::string("[EBCDIC]") + kCrLf;
  for (int code = 0x40; code <= 0xFE; ++code) {
    iconv_t cd = iconv_open("CP932", hostCodePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) Fail(std::string("iconv_open ") + hostCodePage);
    char in[1] = {static_cast<char>(code)};
    char out[8];
    char* src = in;
    size_t srcLeft = 1;
    char* dst = out;
    size_t dstLeft = sizeof out;
    const bool converted = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!converted || dst - out != 1) continue;  // unmapped, or double-byte on the PC
    char entry[16];
    if (out[0] == ' ') {
      std::snprintf(entry, sizeof entry, "0x%02X", code);
    } else {
      std::snprintf(entry, sizeof entry, "0x%02X %c", code, out[0]);
    }
    section += entry;
    section += kCrLf;
  }
  return section;
}

// ---- Host data ---------------------------------------------------------------

// Host double-byte codes of the user-defined area used by the examples. The
// first two have [KANJI] entries; the third has none and becomes the
// substitution character, counted and reported in CodeErr.csv.
constexpr unsigned kGaijiTaka = 0x6941;   // 髙 (the "ladder" taka)
constexpr unsigned kGaijiSaki = 0x6942;   // 﨑 (the "tatsu" saki)
constexpr unsigned kGaijiNoMap = 0x6943;  // a shop-made character nobody mapped

// A host double-byte run (no shift bytes) for UTF-8 text. Private-use
// characters U+E000, U+E001, U+E002 stand for the three user-defined codes.
std::string HostDbcs(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    const std::string ch = utf8.substr(i, n);
    i += n;
    if (ch == "\xEE\x80\x80" || ch == "\xEE\x80\x81" || ch == "\xEE\x80\x82") {
      const unsigned code = ch == "\xEE\x80\x80" ? kGaijiTaka : ch == "\xEE\x80\x81" ? kGaijiSaki : kGaijiNoMap;
      out += static_cast<char>(code >> 8);
      out += static_cast<char>(code & 0xFF);
      continue;
    }
    const std::string host = Convert("IBM930", "UTF-8", ch);
    if (host.size() != 4 || host[0] != '\x0E' || host[3] != '\x0F') Fail("not double-byte: " + ch);
    out += host.substr(1, 2);
  }
  return out;
}

// Host single-byte or mixed text (double-byte runs between shift-out and
// shift-in) for UTF-8 text; the private-use characters as in HostDbcs.
std::string HostMixed(const std::string& utf8) {
  std::string out;
  std::string plain;
  bool inRun = false;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    const std::string ch = utf8.substr(i, n);
    i += n;
    std::string host = ch.rfind("\xEE\x80", 0) == 0 ? "\x0E" + HostDbcs(ch) + "\x0F" : Convert("IBM930", "UTF-8", ch);
    const bool dbcs = host[0] == '\x0E';
    if (dbcs) host = host.substr(1, 2);
    if (dbcs && !inRun) out += '\x0E';
    if (!dbcs && inRun) out += '\x0F';
    inRun = dbcs;
    out += host;
  }
  if (inRun) out += '\x0F';
  return out;
}

// Pads host text to length with fill (0x40 0x40 for double-byte fields).
std::string Pad(std::string host, size_t length, const char* fill) {
  if (host.size() > length) Fail("field too long");
  const size_t step = std::strlen(fill);
  while (host.size() + step <= length) host += fill;
  while (host.size() < length) host += '\x40';
  return host;
}

// Packed decimal of value in bytes bytes, sign nibble C or D.
std::string Packed(int64_t value, int bytes) {
  std::string nibbles(static_cast<size_t>(bytes * 2), '0');
  uint64_t u = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  nibbles.back() = value < 0 ? 'D' : 'C';
  for (size_t i = nibbles.size() - 1; i-- > 0 && u != 0; u /= 10) nibbles[i] = static_cast<char>('0' + u % 10);
  if (u != 0) Fail("packed value too large");
  std::string out;
  for (size_t i = 0; i < nibbles.size(); i += 2) {
    auto nib = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    out += static_cast<char>(nib(nibbles[i]) * 16 + nib(nibbles[i + 1]));
  }
  return out;
}

// A small fixed pseudo-random sequence, so the data never changes.
uint32_t g_Seed = 20240401;
uint32_t Next(uint32_t range) {
  g_Seed = g_Seed * 1103515245u + 12345u;
  return (g_Seed >> 8) % range;
}

struct Name {
  const char* kanji;
  const char* kana;
};

const Name kSurnames[] = {
    {"佐藤", "ｻﾄｳ"}, {"鈴木", "ｽｽﾞｷ"}, {"高橋", "ﾀｶﾊｼ"}, {"田中", "ﾀﾅｶ"}, {"伊藤", "ｲﾄｳ"},
    {"渡辺", "ﾜﾀﾅﾍﾞ"}, {"山本", "ﾔﾏﾓﾄ"}, {"中村", "ﾅｶﾑﾗ"}, {"小林", "ｺﾊﾞﾔｼ"}, {"加藤", "ｶﾄｳ"},
    {"吉田", "ﾖｼﾀﾞ"}, {"山田", "ﾔﾏﾀﾞ"}, {"佐々木", "ｻｻｷ"}, {"山口", "ﾔﾏｸﾞﾁ"}, {"松本", "ﾏﾂﾓﾄ"},
    {"井上", "ｲﾉｳｴ"}, {"木村", "ｷﾑﾗ"}, {"林", "ﾊﾔｼ"}, {"斎藤", "ｻｲﾄｳ"}, {"清水", "ｼﾐｽﾞ"},
    {"\xEE\x80\x80橋", "ﾀｶﾊｼ"},  // 髙橋 with the user-defined 髙
    {"山\xEE\x80\x81", "ﾔﾏｻﾞｷ"},  // 山﨑 with the user-defined 﨑
};
const Name kGivenNames[] = {
    {"太郎", "ﾀﾛｳ"}, {"花子", "ﾊﾅｺ"}, {"一郎", "ｲﾁﾛｳ"}, {"美咲", "ﾐｻｷ"}, {"健太", "ｹﾝﾀ"},
    {"陽子", "ﾖｳｺ"}, {"翔", "ｼｮｳ"}, {"恵美", "ｴﾐ"}, {"誠", "ﾏｺﾄ"}, {"由美子", "ﾕﾐｺ"},
    {"大輔", "ﾀﾞｲｽｹ"}, {"直樹", "ﾅｵｷ"}, {"裕子", "ﾕｳｺ"}, {"隆", "ﾀｶｼ"}, {"明美", "ｱｹﾐ"},
    {"浩", "ﾋﾛｼ"},
};
const char* const kGivenNoMap = "\xEE\x80\x82子";  // a user-defined character without an entry

struct Place {
  const char* city;
  const char* zip;
};
const Place kPlaces[] = {
    {"東京都千代田区", "100-0005"}, {"大阪府大阪市北区", "530-0001"},
    {"愛知県名古屋市中区", "460-0008"}, {"福岡県福岡市博多区", "812-0011"},
    {"北海道札幌市中央区", "060-0001"}, {"神奈川県横浜市西区", "220-0011"},
    {"京都府京都市下京区", "600-8216"}, {"宮城県仙台市青葉区", "980-0021"},
};
const char* const kBlocks[] = {"一丁目", "二丁目", "三丁目", "四丁目"};

const char* const kMemos[] = {
    "",            // blanks
    "至急",        // double-byte only
    "ﾃﾞﾝﾜ ﾚﾝﾗｸ",   // single-byte katakana
    "要確認 TEL",  // mixed
    "分納",
};

struct Customer {
  int number;
  std::string name;   // W 20
  std::string kana;   // A 20
  std::string zip;    // I 8
  std::string address;  // 1 40
};

Customer MakeCustomer(int index) {
  Customer c;
  c.number = 100001 + index;
  const Name& surname = kSurnames[Next(sizeof kSurnames / sizeof kSurnames[0])];
  const Name& given = kGivenNames[Next(sizeof kGivenNames / sizeof kGivenNames[0])];
  std::string givenKanji = given.kanji;
  std::string givenKana = given.kana;
  if (index % 97 == 13) {
    givenKanji = kGivenNoMap;
    givenKana = "ﾘｮｳｺ";
  }
  c.name = Pad(HostDbcs(std::string(surname.kanji) + "　" + givenKanji), 20, "\x40\x40");
  c.kana = Pad(HostMixed(std::string(surname.kana) + " " + givenKana), 20, "\x40");
  const Place& place = kPlaces[Next(sizeof kPlaces / sizeof kPlaces[0])];
  c.zip = Pad(HostMixed(place.zip), 8, "\x40");
  if (index % 4 == 0) {
    // Double-byte only: no shift bytes, the way some host files keep addresses.
    c.address = Pad(HostDbcs(std::string(place.city) + kBlocks[Next(4)]), 40, "\x40\x40");
  } else {
    char number[32];
    std::snprintf(number, sizeof number, "%u-%u-%u", Next(9) + 1, Next(20) + 1, Next(30) + 1);
    c.address = Pad(HostMixed(std::string(place.city) + number), 40, "\x40");
  }
  return c;
}

// Days since 1970-01-01 of a civil date and back.
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t CivilFromDays(int64_t z) {  // as YYYYMMDD
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  const int64_t y = yoe + era * 400 + (m <= 2);
  return y * 10000 + m * 100 + d;
}

constexpr int kCustomers = 600;
constexpr int kInvoices = 3000;

// CUSTOMER.db2: one 151-byte record per invoice, in the layout of CUSTOMER.fdf.
std::string MakeImage() {
  std::vector<Customer> customers;
  for (int i = 0; i < kCustomers; ++i) customers.push_back(MakeCustomer(i));
  const int64_t firstDay = DaysFromCivil(2024, 4, 1);
  std::string image;
  for (int i = 0; i < kInvoices; ++i) {
    const Customer& c = customers[static_cast<size_t>((i * 37 + static_cast<int>(Next(50))) % kCustomers)];
    const bool credit = i % 37 == 36;
    const bool reduced = Next(5) == 0;
    const int64_t amount = (static_cast<int64_t>(Next(9999900)) + 100) * (credit ? -1 : 1);  // in sen
    const int rate = reduced ? 80 : 100;                                                      // per mille
    const int64_t tax = amount * rate / 100000;
    const int64_t total = amount / 100 + tax;
    const int64_t invoiceDay = firstDay + i / 12;
    const int64_t invoiceDate = i % 250 == 249 ? 0 : CivilFromDays(invoiceDay);

    std::string record;
    record += Packed(c.number, 4);                       // CUSTNO 2 9
    record += c.name;                                    // CNAME W 20
    record += c.kana;                                    // KANA A 20
    record += c.zip;                                     // ZIP I 8
    record += c.address;                                 // ADDR 1 40
    record += Packed(240000001 + i, 5);                  // INVNO 2 11
    record += Packed(invoiceDate, 5);                    // INVDATE d 10
    if (i % 17 == 5) {                                   // DUEDATE D 8
      record += std::string(8, '\x40');
    } else {
      record += HostMixed(std::to_string(CivilFromDays(invoiceDay + 30 + Next(31))));
    }
    record += Packed(amount, 7);                         // AMOUNT 2 15/2
    record += Packed(rate, 2);                           // RATE 2 5/3
    record += Packed(tax, 5);                            // TAX 2 11
    record += Packed(total, 6);                          // TOTAL y 13
    const char* memo = kMemos[Next(sizeof kMemos / sizeof kMemos[0])];
    const std::string memoHost = HostMixed(memo);
    if (memoHost.find('\x0E') == 0 && memoHost.find('\x0F') == memoHost.size() - 1) {
      record += Pad(HostDbcs(memo), 20, "\x40\x40");     // MEMO 1 20, double-byte only
    } else {
      record += Pad(memoHost, 20, "\x40");               // MEMO 1 20, mixed
    }
    record += HostMixed(credit ? "C" : "A");             // STATUS A 1
    if (record.size() != 151) Fail("record of " + std::to_string(record.size()) + " bytes");
    image += record;
  }
  return image;
}

// ---- Files -------------------------------------------------------------------

void WriteFile(const std::string& folder, const char* name, const std::string& bytes) {
  const std::string path = folder + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    Fail("cannot write " + path);
  }
}

// UTF-8 lines with "\n" to Shift-JIS with CR LF, as Windows tools keep them.
std::string WindowsText(const std::string& utf8) {
  std::string crlf;
  for (char ch : utf8) {
    if (ch == '\n') crlf += '\r';
    crlf += ch;
  }
  return Sjis(crlf);
}

std::string Settings() {
  std::string text =
      "; Quenvale の設定例。IPADDRESS, USER, PASSWORD は仮の値です。\n"
      "; [EBCDIC] は CCSID 930 (英大文字・カタカナ) の表です。CCSID 939 の表は\n"
      "; ccsid939-EBCDIC.txt にあります。\n"
      "[Quenvale]\n"
      "IPADDRESS=192.0.2.10\n"
      "USER=QUSER\n"
      "PASSWORD=password\n"
      "TimeLimit=3600\n"
      "BackupDir=\n"
      "MonthBackup=0\n"
      "Last_MonthBackup=0\n"
      "[DB2]\n"
      "get SALESLIB/CUSTOMER.CUSTOMER\n"
      "[KANJI]\n"
      "0x6941=髙\n"
      "0x6942=﨑\n"
      "0xFFFF=〓\n";
  // The [EBCDIC] section is already Shift-JIS with CR LF.
  return WindowsText(text) + EbcdicSection("IBM930");
}

std::string DescriptionFile() {
  return WindowsText(
      "* CUSTOMER 顧客別請求明細 (SALESLIB/CUSTOMER)\n"
      "PCFO CUSTOMER\n"
      "PCFL CUSTNO 2 9\n"
      "PCFL CNAME W 20\n"
      "PCFL KANA A 20\n"
      "PCFL ZIP I 8\n"
      "PCFL ADDR 1 40\n"
      "PCFL INVNO 2 11\n"
      "PCFL INVDATE d 10\n"
      "PCFL DUEDATE D 8\n"
      "PCFL AMOUNT 2 15/2\n"
      "PCFL RATE 2 5/3\n"
      "PCFL TAX 2 11\n"
      "PCFL TOTAL y 13\n"
      "PCFL MEMO 1 20\n"
      "PCFL STATUS A 1\n");
}

// ---- The order file ----------------------------------------------------------
//
// ORDERS.db2: order lines of a table made with SQL on the host, so its numbers
// are zoned (NUMERIC), binary (SMALLINT, INTEGER, BIGINT) and floating point
// (REAL), its item names varying text (VARCHAR, CCSID 930) and its recipients
// and notes Unicode (GRAPHIC and NVARCHAR, CCSID 1200), with characters that
// Shift-JIS lacks among them. Its own random sequence keeps CUSTOMER.db2 as it
// was.

uint32_t g_OrderSeed = 20240402;
uint32_t NextOrder(uint32_t range) {
  g_OrderSeed = g_OrderSeed * 1103515245u + 12345u;
  return (g_OrderSeed >> 8) % range;
}

// Zoned decimal of value in digits bytes: F zone, sign half F or D.
std::string Zoned(int64_t value, int digits) {
  uint64_t u = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string out(static_cast<size_t>(digits), '\xF0');
  for (size_t i = out.size(); i-- > 0 && u != 0; u /= 10) out[i] = static_cast<char>(0xF0 + u % 10);
  if (u != 0) Fail("zoned value too large");
  if (value < 0) out.back() = static_cast<char>((out.back() & 0x0F) | 0xD0);
  return out;
}

// Big-endian two's complement of value in bytes bytes.
std::string Binary(int64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
  return out;
}

std::string Real(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return Binary(bits, 4);
}

// UTF-16 big-endian text padded to bytes bytes with the unit pad.
std::string Utf16(const std::string& utf8, size_t bytes, unsigned pad) {
  std::string out = utf8.empty() ? std::string() : Convert("UTF-16BE", "UTF-8", utf8);
  if (out.size() > bytes) Fail("UTF-16 text too long: " + utf8);
  while (out.size() < bytes) {
    out += static_cast<char>(pad >> 8);
    out += static_cast<char>(pad & 0xFF);
  }
  return out;
}

// A varying field: the length (in bytes, or in UTF-16 units for NVARCHAR),
// then the value, then zero bytes up to the maximum.
std::string Varying(const std::string& value, size_t maximum, size_t unit) {
  if (value.size() > maximum) Fail("varying value too long");
  return Binary(static_cast<int64_t>(value.size() / unit), 2) + value + std::string(maximum - value.size(), '\0');
}

struct Item {
  const char* code;
  const char* name;  // mixed text; U+E000 is the user-defined 髙
  int price;         // in sen
  int grams;
};

const Item kItems[] = {
    {"PEN-0001", "ﾎﾞｰﾙﾍﾟﾝ 黒 0.5mm", 12000, 10},
    {"PEN-0002", "ﾎﾞｰﾙﾍﾟﾝ 赤 0.5mm", 12000, 10},
    {"PPR-A4", "コピー用紙 A4 500枚", 58000, 2200},
    {"PPR-B5", "コピー用紙 B5 500枚", 52000, 1650},
    {"FIL-CLR", "ｸﾘｱﾌｧｲﾙ A4 10P", 35000, 350},
    {"NOTE-75", "付箋 75X75 黄", 19800, 80},
    {"STP-HD", "ホッチキス 中型", 148000, 250},
    {"INK-PAD", "\xEE\x80\x80橋印 朱肉 \"特大\"", 165000, 420},
    {"ENV-N3", "封筒 長3 100枚", 62000, 480},
    {"TAP-18", "セロハンテープ 18mm", 9800, 45},
    {"BAT-AA", "ｱﾙｶﾘ電池 単3 4本", 39800, 96},
};

// Recipients (GRAPHIC(10), ten UTF-16 units): 𠮷 (outside the Basic
// Multilingual Plane), 鷗 and é have no Shift-JIS code; 髙, 﨑 and ㈱ have one
// only in code page 932's extensions.
const char* const kRecipients[] = {
    "𠮷田　太郎", "髙橋　一郎", "山﨑　美咲", "渡邉　恵美", "佐藤　花子",
    "鈴木　健太", "森　鷗介",   "㈱ミドリ商会", "ｻﾄｳ ｼｮｳｼﾞ", "Café Nord",
};

// Notes (NVARCHAR(20)), on the first line of every other order.
const char* const kNotes[] = {
    "午前中〜12時 配達希望", "送料¥500 着払い", "置き配希望🙏",  "\"FRAGILE\" 取扱注意",
    "のし「御祝」𠮷田様",   "剝離紙付き",       "請求書在中　",    "①②③ 3箱に分割",
    "ﾃﾞﾝﾜ ｱﾘ",
};

constexpr int kOrderLines = 120;
constexpr int kOrdersRecord = 176;

std::string MakeOrdersImage() {
  const int64_t firstDay = DaysFromCivil(2024, 4, 1);
  uint64_t track = 9100000000000000000u;
  std::string image;
  int order = 0;
  int line = 0;
  int lines = 0;
  int64_t customer = 0;
  std::string recipient;
  unsigned recipientPad = 0x0020;
  for (int i = 0; i < kOrderLines; ++i) {
    if (line == lines) {  // a new order
      ++order;
      line = 0;
      lines = 1 + static_cast<int>(NextOrder(4));
      customer = 100001 + NextOrder(600);
      recipient = kRecipients[NextOrder(sizeof kRecipients / sizeof kRecipients[0])];
      recipientPad = NextOrder(2) == 0 ? 0x0020 : 0x3000;
      if (order % 9 == 4) recipient.clear();  // the customer's own address
    }
    ++line;
    const bool open = order > 40;
    const bool returned = order % 11 == 7 && line == 1;
    const bool discount = lines > 2 && line == lines;
    const bool sample = i == 57;
    const Item& item = kItems[NextOrder(sizeof kItems / sizeof kItems[0])];
    std::string code = item.code;
    std::string name = item.name;
    int64_t quantity = 1 + NextOrder(returned ? 5 : 30);
    int64_t price = item.price;
    int64_t grams = quantity * item.grams;
    if (discount) {
      code = "DISCOUNT";
      name = "値引き";
      quantity = 1;
      price = -(100 + static_cast<int64_t>(NextOrder(20)) * 50) * 100;
      grams = 0;
    } else if (sample) {
      code = "SAMPLE";
      name = "見本品 ｶﾀﾛｸﾞ 2024";
      price = 0;
      quantity = 1;
      grams = 150;
    }
    if (returned) quantity = -quantity;
    std::string note = line == 1 && order % 2 == 0 ? kNotes[order / 2 % (sizeof kNotes / sizeof kNotes[0])] : "";
    if (i == 30) note = "　再送";  // a leading ideographic space, kept
    track += 1 + NextOrder(1000000) * uint64_t{1000003};
    const char status = returned ? 'R' : open ? 'O' : 'S';

    std::string record;
    record += Zoned(240400000 + order, 9);                                // ORDNO S 9
    record += Binary(line, 2);                                            // LINENO B 2
    record += Zoned(CivilFromDays(firstDay + order / 3), 8);              // ORDDATE S 8
    record += Packed(customer, 4);                                        // CUSTNO 2 9
    record += Pad(HostMixed(code), 8, "\x40");                            // ITEMCD A 8
    record += Varying(HostMixed(name), 40, 1);                            // ITEMNM V 40
    record += Zoned(quantity, 5);                                         // QTY S 5
    record += Binary(price, 4);                                           // PRICE B 4/2
    record += Zoned(quantity * price, 11);                                // AMOUNT S 11/2
    record += Real(static_cast<float>(grams / 1000.0));                   // WEIGHT F 4
    record += Binary(open ? 0 : static_cast<int64_t>(track), 8);          // TRACKNO B 8
    record += Utf16(recipient, 20, i == 99 ? 0x0000 : recipientPad);      // SHIPTO U 20
    record += Varying(note.empty() ? "" : Convert("UTF-16BE", "UTF-8", note), 40, 2);  // NOTE N 40
    std::string rfid(8, '\0');                                            // RFID H 8
    if (!open) {
      for (char& b : rfid) b = static_cast<char>(NextOrder(256));
    }
    record += rfid;
    record += HostMixed(std::string(1, status));                          // STATUS A 1
    if (record.size() != kOrdersRecord) Fail("order record of " + std::to_string(record.size()) + " bytes");
    image += record;
  }
  return image;
}

std::string OrdersDescriptionFile() {
  return WindowsText(
      "* ORDERS 受注明細 (SALESLIB/ORDERS, SQL で作った表)\n"
      "PCFO ORDERS\n"
      "PCFL ORDNO S 9\n"
      "PCFL LINENO B 2\n"
      "PCFL ORDDATE S 8\n"
      "PCFL CUSTNO 2 9\n"
      "PCFL ITEMCD A 8\n"
      "PCFL ITEMNM V 40\n"
      "PCFL QTY S 5\n"
      "PCFL PRICE B 4/2\n"
      "PCFL AMOUNT S 11/2\n"
      "PCFL WEIGHT F 4\n"
      "PCFL TRACKNO B 8\n"
      "PCFL SHIPTO U 20\n"
      "PCFL NOTE N 40\n"
      "PCFL RFID H 8\n"
      "PCFL STATUS A 1\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_examples <examples folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  WriteFile(folder, "Quenvale.ini", Settings());
  WriteFile(folder, "ccsid939-EBCDIC.txt", EbcdicSection("IBM939"));
  WriteFile(folder, "CUSTOMER.fdf", DescriptionFile());
  WriteFile(folder, "CUSTOMER.db2", MakeImage());
  WriteFile(folder, "ORDERS.fdf", OrdersDescriptionFile());
  WriteFile(folder, "ORDERS.db2", MakeOrdersImage());
  return 0;
}

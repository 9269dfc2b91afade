// fdfmake: writes the field lists (.fdf) of host files from the host's own
// description of them, so that nobody types a list from a DSPFFD listing.
//
//   fdfmake [--replace] [--out FOLDER] INPUT...
//   fdfmake --check NAME
//
// Each INPUT is a DSPFFD outfile image (fetched in binary), DDS source or SQL
// CREATE TABLE statements, recognised by its content. The lists go to FOLDER,
// by default the program's own folder, where the conversion reads them. An
// existing list with other content is replaced only with --replace. Exit
// status: 0 when every list was written (or was already there as made), 2
// when any file was refused, 1 for a usage error or an input that cannot be
// read. --check NAME checks NAME.fdf of the program folder, and its image
// NAME.db2 or DB2/NAME.DB2 when there is one: 0 when nothing is wrong.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/settings_file.h"
#include "app/startup.h"
#include "base/path.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/texts.h"
#include "convert/code_tables.h"
#include "convert/host_layout.h"
#include "convert/list_check.h"
#include "platform/fileio.h"
#include "platform/module.h"
#include "platform/stream.h"
#include "platform/ui.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitRefused = 2;

bool ReadWhole(const char* path, std::string* bytes, size_t limit) {
  FileInfo info;
  if (!FileInfoOf(path, &info) || info.isDirectory) return false;
  FILE* f = OpenStream(path, "rb");
  if (f == nullptr) return false;
  bytes->clear();
  char block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0 && bytes->size() <= limit) bytes->append(block, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool ReadText(const char* path, std::string* text) {
  FILE* f = OpenStream(path, "r");
  if (f == nullptr) return false;
  text->clear();
  char block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0 && text->size() < (1u << 26)) text->append(block, n);
  std::fclose(f);
  return true;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  char date[16] = "";
  if (const std::tm* t = std::localtime(&now)) std::strftime(date, sizeof date, "%Y-%m-%d", t);
  return date;
}

void Say(const std::string& report, bool toError = false) { WriteConsoleText(report.c_str(), toError); }

// Settings beside the program: the [EBCDIC] table decodes the outfile's names
// and, for --check, the images, as the conversion would.
void LoadTables(const char* programFolder, CodeTables* tables, bool* haveEbcdic) {
  char path[kPathBufferSize];
  *haveEbcdic = false;
  if (!JoinPath(path, sizeof path, programFolder, "Quenvale.ini")) return;
  Settings settings;
  LoadSettings(path, &settings);
  if (!settings.shiftJis) return;
  *haveEbcdic = LoadSingleByteTable(settings, tables) != 0;
  LoadUserDoubleByteTable(settings, tables);
}

// Writes one list; returns false when it was not written.
bool WriteList(const char* folder, const std::string& name, const std::string& fdf, bool replace,
               std::string* report) {
  char path[kPathBufferSize];
  if (!JoinPath(path, sizeof path, folder, (name + ".fdf").c_str())) {
    AppendReportLine(report, name, kTextFdfmakeWriteFailed);
    return false;
  }
  std::string existing;
  FileInfo info;
  if (FileInfoOf(path, &info)) {
    if (!info.isDirectory && ReadText(path, &existing) && SameFieldListText(existing, fdf)) {
      AppendReportLine(report, name, kTextFdfmakeSame);
      return true;
    }
    if (!replace || info.isDirectory) {
      AppendReportLine(report, name, kTextFdfmakeExists);
      return false;
    }
  }
  // Written whole or not at all: the conversion may read it at any time.
  char temp[kTempPathSize];
  FILE* out = OpenTempStream(path, "w", temp, sizeof temp);
  bool ok = out != nullptr;
  if (ok) {
    ok = std::fwrite(fdf.data(), 1, fdf.size(), out) == fdf.size();
    if (ok) {
      ok = CommitTempStream(out, temp, path);
    } else {
      DiscardTempStream(out, temp);
    }
  }
  AppendReportLine(report, name, ok ? kTextFdfmakeWritten : kTextFdfmakeWriteFailed);
  return ok;
}

int Check(const char* programFolder, const char* name) {
  char fdfPath[kPathBufferSize];
  char imagePath[kPathBufferSize];
  const std::string fdfName = std::string(name) + ".fdf";
  if (!JoinPath(fdfPath, sizeof fdfPath, programFolder, fdfName.c_str())) {
    Say("  " + fdfName + kTextFdfmakeUnreadable);
    return kExitUsage;
  }
  FileInfo info;
  const char* image = nullptr;
  const char sep[2] = {kPathSep, '\0'};
  const std::string candidates[] = {std::string(name) + ".db2",
                                    std::string("DB2") + sep + name + ".DB2"};
  for (const std::string& candidate : candidates) {
    if (image == nullptr && JoinPath(imagePath, sizeof imagePath, programFolder, candidate.c_str()) &&
        FileInfoOf(imagePath, &info) && !info.isDirectory) {
      image = imagePath;
    }
  }
  static CodeTables tables;
  bool haveEbcdic = false;
  LoadTables(programFolder, &tables, &haveEbcdic);
  std::string report;
  const int problems = CheckFieldListAndImage(fdfPath, image, tables, &report);
  Say(report);
  return problems == 0 ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  char exePath[kPathBufferSize];
  static char programFolder[kPathBufferSize];
  if (GetExecutablePath(exePath, sizeof exePath) <= 0 ||
      DeriveProgramFolder(exePath, programFolder, sizeof programFolder) <= 0) {
    Say(std::string(kTextNoProgramFolder) + "\n", true);
    return kExitUsage;
  }
  bool replace = false;
  std::string folder = programFolder;
  std::vector<const char*> inputs;
  const char* check = nullptr;
  bool usage = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--replace") {
      replace = true;
    } else if (arg == "--out" && i + 1 < argc) {
      folder = argv[++i];
      if (!folder.empty() && folder.back() != kPathSep && folder.back() != '/') folder += kPathSep;
    } else if (arg == "--check" && i + 1 < argc && check == nullptr) {
      check = argv[++i];
    } else if (arg.compare(0, 2, "--") == 0) {
      usage = true;
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (usage || (check == nullptr) == inputs.empty() || (check != nullptr && (replace || folder != programFolder))) {
    Say(kTextFdfmakeUsage, true);
    return kExitUsage;
  }
  if (check != nullptr) return Check(programFolder, check);

  FileInfo info;
  if (!FileInfoOf(folder.c_str(), &info) || !info.isDirectory) {
    std::string report;
    AppendReportLine(&report, folder, kTextFdfmakeNoFolder);
    Say(report, true);
    return kExitUsage;
  }
  static CodeTables tables;
  bool haveEbcdic = false;
  LoadTables(programFolder, &tables, &haveEbcdic);
  const std::string date = Today();
  int result = kExitOk;
  for (const char* input : inputs) {
    std::string report;
    std::string bytes;
    const char* inputName = input + FileNameStart(input);
    if (!ReadWhole(input, &bytes, kMaxHostDescriptionSize)) {
      AppendReportLine(&report, input, kTextFdfmakeUnreadable);
      Say(report);
      result = kExitUsage;
      continue;
    }
    std::vector<HostFileLayout> files;
    const HostSource kind = ReadHostDescription(bytes.data(), bytes.size(), inputName,
                                                haveEbcdic ? tables.singleByte : nullptr, &files, &report);
    if (kind == HostSource::kUnknown) {
      Say(report);
      result = kExitUsage;
      continue;
    }
    for (const HostFileLayout& file : files) {
      std::string fdf;
      if (!MakeFieldListText(file, inputName, date.c_str(), &fdf, &report) ||
          !WriteList(folder.c_str(), file.file, fdf, replace, &report)) {
        if (result == kExitOk) result = kExitRefused;
      }
    }
    Say(report);
  }
  return result;
}

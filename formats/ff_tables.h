// The format tables: the file formats the program reads (25 rows) and writes (23 rows). They
// decide which unit the dispatcher calls, which extensions are recognised, what the open and save
// filters offer and in which order the dispatcher's fallback search tries formats. A format whose
// codec library or export is missing is blanked at start-up (FFDisableFormat), so that nothing
// else sees it any more; a blanked row keeps its place, so the other rows keep their indexes.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

// FormatId values.
enum : int32_t {
  fidTGA = 1,
  fidPCX = 2,
  fidBMP = 3,
  fidGIF = 4,
  fidFLIC = 5,
  fidAVI = 6,
  fidZMV = 7,
  fidJPEG = 8,
  fidPNG = 9,
  fidTIFF = 10,
  fidMPEG = 11,
  fidWAV = 12,
  fidSGI = 13,
  fidRAS = 14,
  fidPNM = 15,
  fidBAY = 16,
  fidXPM = 17,
  fidMPA = 18,
  fidOGA = 19,
  fidCINE = 20,
  fidAC3 = 21,
  fidMP4 = 22,
  fidJP2 = 23,
  fidMPEGX = 24,
  fidWMV = 25,
  fidWMA = 26,
  fidOGV = 27,
};
// "No format matches".
constexpr int32_t kNoFormat = 0x7FFFFFFF;

// Kinds bits.
enum : uint32_t {
  fkStill = 1,
  fkMovie = 2,
  fkSound = 4,
  fkHasPictures = 8,
  fkHasSound = 16,
};

constexpr int kLoadFormatCount = 25;
constexpr int kSaveFormatCount = 23;

// Which table: 2 the write table, any other value the read table. FFDisableFormat takes bits.
enum : int32_t { ffRead = 1, ffWrite = 2, ffBoth = 3 };

// One row. Texts hold at most 255 characters. A blanked row is all empty: id 0, no kinds.
struct FFFormatRec {
  int32_t FormatId = 0;
  uint32_t Kinds = 0;
  std::string Extensions;  // ".avi.ivf.divx": each with its point, no separator
  std::string ShortName;
  std::string LongName;
  std::string Description;
};

// The tables as they stand (after any blanking).
extern FFFormatRec FFLoadFormats[kLoadFormatCount];
extern FFFormatRec FFSaveFormats[kSaveFormatCount];

// Makes the working copies of both tables.
void FFInitTables();
// The unit initialization: raises the start-up counter, then FFInitTables.
void FFTablesUnitInit();

// which bit 1: blank the first read-table row with this id; bit 2: the first write-table row.
void FFDisableFormat(int32_t formatId, int32_t which);

// Copies row index of the write table (which = 2, 0..22) or the read table (0..24) into rec.
// False, rec unchanged, for an index outside the table. Blanked rows are copied too.
bool FFGetFormatByIndex(FFFormatRec& rec, int32_t index, int32_t which);
// Copies the first row with this id; false when none.
bool FFGetFormatById(FFFormatRec& rec, int32_t formatId, int32_t which);

// Every reader of the write table calls this first: the Windows Media writer's one chance to
// withdraw its rows when the library cannot write.
void FFBeforeWriteTable();

// The working copies (first and second) of a table, for their own tests.
const FFFormatRec& FFWorkingRow(int32_t which, int copy, int32_t index);

// Test seam: puts both tables back to their constant contents (blanking is otherwise for the run).
void FFRestoreTablesForTest();

}  // namespace tavelo

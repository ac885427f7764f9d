#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "core/services/memory.h"
#include "formats/ff_seq.h"
#include "formats/structures.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

void Touch(const std::string& path, size_t bytes = 3) { test::WriteFile(path, std::string(bytes, 'x')); }

TEST(Structures, BitArray) {
  BitArray ba;
  BitAlloc(ba, 70);
  EXPECT_EQ(BitFind(ba, true), 0x7FFFFFFF);
  BitSet(true, 33, ba);
  BitSet(true, -1, ba);  // outside: ignored
  BitSet(true, 70, ba);
  EXPECT_EQ(BitFind(ba, true), 33);
  BitFill(ba, true);
  BitSet(false, 69, ba);
  EXPECT_EQ(BitFind(ba, false), 69);
  BitSet(true, 69, ba);
  // Whole words are searched: the unused tail of the last word may answer.
  EXPECT_EQ(BitFind(ba, false), 0x7FFFFFFF);
  const int32_t before = MemCount();
  BitFree(ba);
  EXPECT_EQ(MemCount(), before - 1);
}

TEST(Sequences, SplitNames) {
  SeqRec seq;
  SeqSplit(seq, "/pics/img0007.png", seqDetect);
  EXPECT_EQ(seq.Prefix, "/pics/img");
  EXPECT_EQ(seq.Suffix, ".png");
  EXPECT_EQ(seq.DigitCount, 4);
  EXPECT_EQ(seq.StartNumber, 7);

  SeqSplit(seq, "/pics/frame10_final.jpg", seqDetect);
  EXPECT_EQ(seq.Prefix, "/pics/frame");
  EXPECT_EQ(seq.Suffix, "_final.jpg");
  EXPECT_EQ(seq.StartNumber, 10);
  EXPECT_EQ(seq.DigitCount, 2);

  SeqSplit(seq, "/pics/shot12345678.bmp", seqDetect);  // of a longer run, the last 6 digits
  EXPECT_EQ(seq.Prefix, "/pics/shot12");
  EXPECT_EQ(seq.StartNumber, 345678);
  EXPECT_EQ(seq.DigitCount, 6);

  SeqSplit(seq, "/pics/photo.png", seqDetect);  // no digits
  EXPECT_EQ(seq.DigitCount, 0);
  EXPECT_EQ(seq.Prefix, "/pics/photo");
  EXPECT_EQ(seq.Suffix, ".png");

  SeqSplit(seq, "/pics/ab12cd34.tga", seqDetect | 4);  // the number must start after position 4
  EXPECT_EQ(seq.StartNumber, 34);
  SeqSplit(seq, "/pics/ab1234.tga", seqDetect | 4);
  EXPECT_EQ(seq.StartNumber, 34);
  EXPECT_EQ(seq.Prefix, "/pics/ab12");

  SeqSplit(seq, "/pics/t-005.bmp", seqDetect | seqAllowNegative);
  EXPECT_EQ(seq.StartNumber, -5);
  EXPECT_EQ(seq.Prefix, "/pics/t");
  SeqSplit(seq, "/pics/t-000.bmp", seqDetect | seqAllowNegative);  // "-" before zeros stays in front
  EXPECT_EQ(seq.StartNumber, 0);
  EXPECT_EQ(seq.Prefix, "/pics/t-");
  SeqSplit(seq, "/pics/t-005.bmp", seqDetect);  // without the option the "-" is text
  EXPECT_EQ(seq.StartNumber, 5);

  // Relative names become full paths; a dot in a folder name is not an extension.
  const std::string cwd = std::filesystem::current_path().string();
  SeqSplit(seq, "a.dir/b7", seqDetect);
  EXPECT_EQ(seq.Prefix, cwd + "/a.dir/b");
  EXPECT_EQ(seq.Suffix, "");
  EXPECT_EQ(seq.StartNumber, 7);
}

TEST(Sequences, MemberNames) {
  SeqRec seq;
  SeqSplit(seq, "/p/img0007.png", seqDetect);
  std::string name;
  SeqGetFileName(seq, 1, name);
  EXPECT_EQ(name, "/p/img0007.png");
  SeqGetFileName(seq, 4, name);
  EXPECT_EQ(name, "/p/img0010.png");
  SeqSplit(seq, "/p/t-002.bmp", seqDetect | seqAllowNegative);
  SeqGetFileName(seq, 2, name);
  EXPECT_EQ(name, "/p/t-001.bmp");
  SeqGetFileName(seq, 3, name);
  EXPECT_EQ(name, "/p/t000.bmp");
  SeqGetFileName(seq, 5, name);
  EXPECT_EQ(name, "/p/t002.bmp");
  SeqSplit(seq, "/p/x9.bmp", seqDetect);
  SeqGetFileName(seq, 3, name);
  EXPECT_EQ(name, "/p/x11.bmp");
}

TEST(Sequences, MatchNames) {
  // img0007.png: position 4, digits 4, zeros 3.
  EXPECT_EQ(SeqMatchName("img0010.png", ".png", 4, 1000006, 7, 3, 4), 10);
  EXPECT_EQ(SeqMatchName("img12345.png", ".png", 4, 1000006, 7, 3, 4), 12345);
  EXPECT_EQ(SeqMatchName("img0006.png", ".png", 4, 1000006, 7, 3, 4), 0x7FFFFFFF);   // below the start
  EXPECT_EQ(SeqMatchName("img008.png", ".png", 4, 1000006, 7, 3, 4), 0x7FFFFFFF);    // too few digits
  EXPECT_EQ(SeqMatchName("img00008.png", ".png", 4, 1000006, 7, 3, 4), 0x7FFFFFFF);  // other padding
  EXPECT_EQ(SeqMatchName("img0010.PNG", ".png", 4, 1000006, 7, 3, 4), 0x7FFFFFFF);   // exact suffix
  EXPECT_EQ(SeqMatchName("img0010.png.bak", ".png", 4, 1000006, 7, 3, 4), 0x7FFFFFFF);
  EXPECT_EQ(SeqMatchName("img0010", ".png", 0, 1000006, 7, 3, 4), 0x7FFFFFFF);
  // Negative runs.
  EXPECT_EQ(SeqMatchName("t-001.bmp", ".bmp", 2, 999997, -2, 2, 3), -1);
  EXPECT_EQ(SeqMatchName("t000.bmp", ".bmp", 2, 999997, -2, 2, 3), 0);
  EXPECT_EQ(SeqMatchName("t-000.bmp", ".bmp", 2, 999997, -2, 2, 3), 0x7FFFFFFF);
  EXPECT_EQ(SeqMatchName("t001.bmp", ".bmp", 2, 999997, -2, 2, 3), 1);
}

TEST(Sequences, DetectAndScan) {
  const std::string dir = test::MakeTempDir("seq");
  Touch(dir + "/img0007.png", 10);
  Touch(dir + "/img0008.png", 20);
  Touch(dir + "/img0010.png", 40);
  Touch(dir + "/img008.png");   // a 3-digit name never joins a 4-digit run
  Touch(dir + "/IMG0009.png");  // nor does another case
  Touch(dir + "/img0009.PNG");
  std::filesystem::create_directory(dir + "/img0009.png");  // a folder is not a member
  SeqRec seq;
  ASSERT_TRUE(SeqDetect(seq, dir + "/img0007.png", seqDetect));
  SeqScan(seq, nullptr, nullptr);
  EXPECT_EQ(seq.Count, 2);
  EXPECT_EQ(seq.TotalSize, 30);

  Touch(dir + "/x7.png");
  EXPECT_FALSE(SeqDetect(seq, dir + "/x7.png", seqDetect));  // no x8.png
  Touch(dir + "/photo.png");
  Touch(dir + "/photo1.png");
  EXPECT_FALSE(SeqDetect(seq, dir + "/photo.png", seqDetect));  // no number: never a sequence
  // Negative numbers only when asked for; bit 2048 alone detects negative numbers only.
  Touch(dir + "/n-002.bmp");
  Touch(dir + "/n-001.bmp");
  Touch(dir + "/n000.bmp");
  ASSERT_TRUE(SeqDetect(seq, dir + "/n-002.bmp", seqDetect | seqAllowNegative));
  SeqScan(seq, nullptr, nullptr);
  EXPECT_EQ(seq.Count, 3);
  EXPECT_FALSE(SeqDetect(seq, dir + "/img0007.png", seqAllowNegative));
}

struct Progress {
  std::vector<int32_t> done;
  int finished = 0;
  int cancelAt = -1;
  void* userData = nullptr;
};

int32_t OnProgress(FFProgressRec* rec) {
  auto* p = static_cast<Progress*>(rec->UserData);
  EXPECT_NE(rec->Text, nullptr);
  EXPECT_EQ(rec->Total, -1);
  EXPECT_EQ(rec->Stage, 1);
  if (rec->Finished != 0) {
    ++p->finished;
  } else {
    p->done.push_back(rec->Done);
    if (p->cancelAt >= 0 && rec->Done >= p->cancelAt) rec->Cancel = -1;
  }
  return 0;
}

TEST(Sequences, ScanReportsProgressAndCanBeCancelled) {
  const std::string dir = test::MakeTempDir("seqprog");
  for (int i = 1; i <= 250; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "/f%03d.bmp", i);
    Touch(dir + name, 1);
  }
  SeqRec seq;
  ASSERT_TRUE(SeqDetect(seq, dir + "/f001.bmp", seqDetect));
  Progress p;
  SeqScan(seq, &OnProgress, &p);
  EXPECT_EQ(seq.Count, 250);
  EXPECT_EQ(seq.TotalSize, 250);
  EXPECT_EQ(p.done, (std::vector<int32_t>{100, 200, 100, 200}));  // both listings, every 100 entries
  EXPECT_EQ(p.finished, 2);

  // Cancelled after the first 100 entries (listed in name order): the run found so far counts.
  Progress cancel;
  cancel.cancelAt = 100;
  ASSERT_TRUE(SeqDetect(seq, dir + "/f001.bmp", seqDetect));
  SeqScan(seq, &OnProgress, &cancel);
  EXPECT_EQ(seq.Count, 100);
  EXPECT_EQ(cancel.done, (std::vector<int32_t>{100, 100}));
}

TEST(Sequences, RunOfEveryNumberIsTheWholeRange) {
  BitArray found;
  BitAlloc(found, kSeqMaxRun);
  BitFill(found, true);
  EXPECT_EQ(SeqRunLength(found), 1000000);
  BitSet(false, 999999, found);
  EXPECT_EQ(SeqRunLength(found), 999999);
  BitSet(false, 0, found);
  EXPECT_EQ(SeqRunLength(found), 0);
  BitFree(found);
  BitAlloc(found, 40);  // a tail in the last word
  BitFill(found, true);
  EXPECT_EQ(SeqRunLength(found), 40);
  BitFree(found);
}

}  // namespace
}  // namespace tavelo

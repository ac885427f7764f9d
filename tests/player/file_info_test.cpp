// The media information table: its rows and formulas, the cell texts, the text form, the window's
// save and copy (byte-identical to the text form), and a real movie's rows against ffprobe.
#include "player/file_info.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>
#include <QTreeWidget>

#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

#include "core/media/snd_basic.h"
#include "player_test_util.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// The value column (with its unit) and the alternative column of the first row with that caption
// after the section caption.
struct Row {
  std::string Value, Alt;
};
Row Find(const InfoListRec& info, const std::string& section, const std::string& caption) {
  bool inSection = false;
  for (int32_t r = 0; r < FlexCount(info.Table); ++r) {
    const std::string c = InfoCellText(FlexGetCell(info.Table, icCaption, r));
    if (c == "FILE" || c == "VIDEO" || c == "AUDIO") inSection = c == section;
    if (inSection && c == caption) return {InfoValueWithUnit(info, icValue, r), InfoValueWithUnit(info, icAltValue, r)};
  }
  ADD_FAILURE() << "no row " << section << "/" << caption;
  return {};
}

UniInfoRec Still(int32_t w, int32_t h, int32_t bits) {
  UniInfoRec d;
  d.FileName = "/pictures/still.bmp";
  d.Description = "Windows Bitmap";
  d.FileSize = 30054;
  d.Video.HasVideo = d.Video.VideoSupported = -1;
  d.Video.Width = w;
  d.Video.Height = h;
  d.Video.Bpp = 24;
  d.Video.OrigBpp = bits;
  d.Video.Frames = 1;
  d.Video.DataSize = static_cast<double>(w) * h * 3;
  d.Video.CodecName = "Uncompressed, full frames";
  return d;
}

TEST(FileInfo, AStillPictureHasNoSoundAndTinyMegapixels) {
  InfoListRec info;
  InfoListAddInfo(info, Still(100, 100, 24));
  EXPECT_EQ(FlexCount(info.Table), 24);
  EXPECT_EQ(Find(info, "VIDEO", "Width x Height").Value, "100 x 100 pixels");
  EXPECT_EQ(Find(info, "VIDEO", "Width x Height").Alt, "0.0 megapixels");
  EXPECT_EQ(Find(info, "AUDIO", "Codec").Value, "DATA NOT PRESENT");
  for (const char* caption : {"Format", "Samples", "Duration", "Uncompressed size"}) {
    EXPECT_EQ(Find(info, "AUDIO", caption).Value, "") << caption;
    EXPECT_EQ(Find(info, "AUDIO", caption).Alt, "") << caption;
  }
  EXPECT_EQ(Find(info, "FILE", "Estimated data rate").Value, "0 kbps") << "both durations are 0";
  EXPECT_EQ(Find(info, "FILE", "Size").Value, "29.35 kB");
  EXPECT_EQ(Find(info, "FILE", "Size").Alt, "30,054 bytes");
  EXPECT_EQ(Find(info, "FILE", "Compression ratio").Value, "1.00 : 1");
  EXPECT_EQ(Find(info, "FILE", "Compression ratio").Alt, "100.18 %");
}

TEST(FileInfo, DepthsResolutionsAndCodecs) {
  struct Case {
    int32_t Bits;
    const char* Depth;
    const char* Colours;
  };
  const Case cases[] = {{8, "8-bit", "256 colors"},
                        {12, "12-bit", ""},
                        {15, "15-bit", "32,768 colors"},
                        {16, "16-bit", "65,536 colors"},
                        {24, "24-bit", "16,777,216 colors"},
                        {32, "32-bit", "16,777,216 colors + alpha channel"}};
  for (const Case& c : cases) {
    InfoListRec info;
    InfoListAddInfo(info, Still(640, 480, c.Bits));
    EXPECT_EQ(Find(info, "VIDEO", "Original color depth").Value, c.Depth);
    EXPECT_EQ(Find(info, "VIDEO", "Original color depth").Alt, c.Colours);
  }
  InfoListRec none;
  InfoListAddInfo(none, Still(640, 480, 24));
  EXPECT_EQ(Find(none, "VIDEO", "Print resolution (width x height)").Value, "0 x 0 dpi");
  EXPECT_EQ(Find(none, "VIDEO", "Print size (width x height)").Value, "0.00 x 0.00 cm");
  EXPECT_EQ(Find(none, "VIDEO", "Print size (width x height)").Alt, "0.00 x 0.00 inches");

  UniInfoRec d = Still(3000, 1500, 24);
  d.Video.XRes = d.Video.YRes = 1;
  d.Video.VideoSupported = 0;
  InfoListRec big;
  InfoListAddInfo(big, d);
  EXPECT_EQ(Find(big, "VIDEO", "Print size (width x height)").Value, "7,620.00 x 3,810.00 cm");
  EXPECT_EQ(Find(big, "VIDEO", "Print size (width x height)").Alt, "3,000.00 x 1,500.00 inches");
  EXPECT_EQ(Find(big, "VIDEO", "Codec").Value, "Uncompressed, full frames, NOT SUPPORTED");
  EXPECT_EQ(Find(big, "VIDEO", "Width x Height").Alt, "4.5 megapixels");

  // Each side by its own resolution: 720 at 72 dpi and 1500 at 150 dpi are both 10 inches.
  UniInfoRec tall = Still(720, 1500, 24);
  tall.Video.XRes = 72;
  tall.Video.YRes = 150;
  InfoListRec print;
  InfoListAddInfo(print, tall);
  EXPECT_EQ(Find(print, "VIDEO", "Print size (width x height)").Value, "25.40 x 25.40 cm");
  EXPECT_EQ(Find(print, "VIDEO", "Print size (width x height)").Alt, "10.00 x 10.00 inches");
}

TEST(FileInfo, CellTexts) {
  const std::pair<FlexVar, const char*> cases[] = {
      {FlexVar(int64_t{1234567}), "1,234,567"}, {FlexVar(int64_t{-5}), "-5"},  {FlexVar(true), "TRUE"},
      {FlexVar(false), "FALSE"},                {FlexVar(1234.5), "1,234.50"}, {FlexVar(25.0), "25"},
      {FlexVar(29.97), "29.97"},                {FlexVar(std::string("x")), "x"}, {FlexVar(), ""}};
  for (const auto& [cell, text] : cases) EXPECT_EQ(InfoCellText(cell), text);
}

TEST(FileInfo, TheTextFormIndentsRowsAndEndsLinesWithCrLf) {
  UniInfoRec d = Still(100, 100, 24);
  d.Audio.HasAudio = d.Audio.AudioSupported = -1;
  SndWaveFmtSetPCM(d.Audio.PcmFormat, 44100, 2, 16);
  d.Audio.Samples = 88200;
  d.Audio.Duration = 2.0;
  d.Audio.DataSize = 352800;
  d.Audio.CodecName = "PCM, uncompressed";
  InfoListRec info;
  InfoListAddInfo(info, d);
  const std::string text = InfoListText(info);
  EXPECT_EQ(text.rfind("FILE: \r\n    Name: /pictures/still.bmp\r\n    Format: Windows Bitmap\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nAUDIO: \r\n    Codec: PCM, uncompressed\r\n    Format: 44100 Hz, Stereo, 16-bit\r\n"
                      "    Samples: 88,200\r\n    Duration: 00:00:02.000\r\n    Uncompressed size: 344.53 kB\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("    Estimated data rate: 120 kbps\r\n"), std::string::npos) << "29.35 kB over 2 s";
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 24);
}

// Save and Copy from the window give exactly the text form.
TEST(FileInfoWindow, SaveAndCopyWriteTheTextForm) {
  InfoListRec info;
  UniInfoRec d = Still(100, 100, 24);
  d.FileName = "/media/movie.avi";
  InfoListAddInfo(info, d);
  const std::string folder = test::MakeTempDir("info");
  std::string proposed, saved;
  int rows = 0;
  test::Answers answers([&](const KitAsk& ask, KitAnswer& answer) {
    if (ask.Kind == KitAskKind::SaveDialog) {
      EXPECT_EQ(ask.Caption, "Save Info");
      EXPECT_EQ(ask.Filter, "Text Files (*.txt)|*.txt");
      proposed = ask.FileName;
      saved = folder + "/saved.txt";
      answer.Result = 1;
      answer.FileName = saved;
      return true;
    }
    if (ask.Kind != KitAskKind::Form || ask.Caption != "TfrmFileInfo") return false;
    auto* form = static_cast<TfrmFileInfo*>(ask.Form);
    EXPECT_EQ(form->windowTitle(), "File Information");
    rows = form->lstInfo->topLevelItemCount();
    EXPECT_EQ(form->lstInfo->topLevelItem(1)->text(0).toStdString(), "  Name     ");
    form->actSave->trigger();
    form->actCopy->trigger();
    answer.Result = 2;
    return true;
  });
  ShowFileInfoWindow(info);
  EXPECT_EQ(rows, 24);
  EXPECT_EQ(proposed.substr(proposed.rfind('/') + 1), "movie.avi (info).txt");
  EXPECT_EQ(test::ReadFile(saved), InfoListText(info));
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), InfoListText(info));
}

TEST(FileInfoWindow, TheValueColumnGivesUpWhatTheRoomLacks) {
  struct Case {
    int32_t room;
    int32_t wanted[3];
    int32_t widths[3];
  };
  const Case cases[] = {
      {900, {200, 400, 200}, {200, 400, 200}},  // all fit
      {700, {200, 400, 200}, {200, 300, 200}},  // the value column elides
      {400, {200, 400, 200}, {200, kInfoMinValueWidth, 200}},  // down to its least width
      {400, {200, 100, 200}, {200, 100, 200}},  // a narrow value column is never widened
  };
  for (const Case& c : cases) {
    int32_t widths[3];
    InfoFitColumns(c.room, c.wanted, widths);
    EXPECT_EQ(std::vector<int32_t>(widths, widths + 3), std::vector<int32_t>(c.widths, c.widths + 3)) << c.room;
  }
}

// A GIF in a deep folder (its codec's long name, a long path) and a TIFF of 72 x 150 dpi: the
// window fits the work area and shows all three columns without scrolling sideways, the caption
// and alternative columns whole.
TEST(FileInfoWindow, AllThreeColumnsShowInsideTheWorkArea) {
  UniInfoRec gif = Still(2344, 1000, 8);
  gif.FileName = "/home/someone/Pictures/" + std::string(60, 'a') + "/" + std::string(60, 'b') + "/animation.gif";
  gif.Description = "GIF, CompuServe Graphics Interchange Format";
  gif.Video.CodecName = "Variable-Length-Code LZW (Lempel-Ziv & Welch)";
  gif.FileSize = 16777216;
  UniInfoRec tiff = Still(720, 1500, 24);
  tiff.FileName = "/tmp/scan.tif";
  tiff.Description = "TIFF, Tagged Image File Format";
  tiff.Video.XRes = 72;
  tiff.Video.YRes = 150;
  for (const UniInfoRec& d : {gif, tiff}) {
    SCOPED_TRACE(d.FileName);
    InfoListRec info;
    InfoListAddInfo(info, d);
    bool shown = false;
    test::Answers answers([&](const KitAsk& ask, KitAnswer& answer) {
      if (ask.Kind != KitAskKind::Form || ask.Caption != "TfrmFileInfo") return false;
      auto* form = static_cast<TfrmFileInfo*>(ask.Form);
      form->show();
      QTreeWidget* list = form->lstInfo;
      const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
      EXPECT_LE(form->width(), work.width());
      EXPECT_LE(form->height(), work.height());
      EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0) << "nothing past the right edge";
      EXPECT_LE(list->header()->length(), list->viewport()->width());
      const QAbstractItemView* view = list;  // the contents' widths (QTreeView hides them)
      EXPECT_GE(list->columnWidth(0), view->sizeHintForColumn(0));
      EXPECT_GE(list->columnWidth(2), view->sizeHintForColumn(2));
      form->hide();
      shown = true;
      answer.Result = 2;
      return true;
    });
    ShowFileInfoWindow(info);
    EXPECT_TRUE(shown);
  }
}

std::map<std::string, std::string> Probe(const std::string& file) {
  const std::string command =
      "ffprobe -v error -show_entries stream=codec_type,width,height,r_frame_rate,nb_frames,sample_rate,channels,"
      "bits_per_sample -of default=noprint_wrappers=1 '" + file + "'";
  std::map<std::string, std::string> facts;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return facts;
  char line[512];
  std::string type;
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const size_t eq = s.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = s.substr(0, eq), value = s.substr(eq + 1);
    if (key == "codec_type") type = value;
    else if (value != "N/A" && value != "0") facts[type + "." + key] = value;
  }
  EXPECT_EQ(pclose(pipe), 0) << "ffprobe is missing (scripts/install-deps.sh installs it)";
  return facts;
}

TEST(FileInfo, AMoviesRowsMatchFfprobe) {
  test::LoadCodecs();
  const std::string file = test::MediaPath("playback/movie.avi");
  std::map<std::string, std::string> facts = Probe(file);
  ASSERT_FALSE(facts.empty());
  InfoListRec info;
  InfoListAddFile(info, file);
  EXPECT_EQ(Find(info, "VIDEO", "Width x Height").Value,
            facts["video.width"] + " x " + facts["video.height"] + " pixels");
  EXPECT_EQ(Find(info, "VIDEO", "Frames").Value, facts["video.nb_frames"]);
  const std::string rate = facts["video.r_frame_rate"];  // "30/1"
  EXPECT_EQ(Find(info, "VIDEO", "Frame rate").Value, rate.substr(0, rate.find('/')));
  const std::string channels = facts["audio.channels"] == "2" ? "Stereo" : "Mono";
  EXPECT_EQ(Find(info, "AUDIO", "Format").Value, facts["audio.sample_rate"] + " Hz, " + channels + ", " +
                                                     facts["audio.bits_per_sample"] + "-bit");
  EXPECT_EQ(Find(info, "AUDIO", "Samples").Value, "441,000");
  EXPECT_EQ(Find(info, "AUDIO", "Duration").Value, "00:00:10.000");
  EXPECT_EQ(Find(info, "VIDEO", "Duration").Value, "00:00:10.000");
  ConformUnitDone();
}

}  // namespace
}  // namespace tavelo

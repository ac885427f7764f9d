#include "player/file_info.h"

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cmath>

#include "core/services/basic.h"
#include "core/services/path_utils.h"
#include "core/services/text_utils.h"
#include "formats/ff_seq.h"
#include "kit/kit_utils.h"
#include "player/player_kit.h"

namespace tavelo {

namespace {

const char* const kCrLf = "\r\n";

// Room kept for the window manager's frame around the window's client area.
const QSize kInfoFrameAllowance(16, 48);

bool IsSection(const std::string& caption) { return caption == "FILE" || caption == "VIDEO" || caption == "AUDIO"; }

// One row: caption, value, unit, alternative value, alternative unit.
void AddRow(InfoListRec& info, const std::string& caption, const FlexVar& value = {}, const FlexVar& unit = {},
            const FlexVar& alt = {}, const FlexVar& altUnit = {}) {
  const int32_t row = FlexAppendRows(info.Table, kInfoColumns);
  FlexSetCell(info.Table, icCaption, row, caption);
  FlexSetCell(info.Table, icValue, row, value);
  FlexSetCell(info.Table, icUnit, row, unit);
  FlexSetCell(info.Table, icAltValue, row, alt);
  FlexSetCell(info.Table, icAltUnit, row, altUnit);
}

// Whole numbers of bytes, samples and frames (file sizes may pass 32 bits).
FlexVar Whole(double v) { return static_cast<int64_t>(std::llround(v)); }

std::string SizeValue(double bytes) {
  std::string value, unit;
  SizeToText(2, value, unit, bytes);
  return value;
}

std::string SizeUnit(double bytes) {
  std::string value, unit;
  SizeToText(2, value, unit, bytes);
  return unit;
}

std::string DepthText(int32_t bits) { return std::to_string(bits) + "-bit"; }

std::string ColorCountText(int32_t bits) {
  switch (bits) {
    case 8:
      return "256 colors";
    case 15:
      return "32,768 colors";
    case 16:
      return "65,536 colors";
    case 24:
      return "16,777,216 colors";
    case 32:
      return "16,777,216 colors + alpha channel";
    default:
      return "";
  }
}

// width / horizontal resolution x height / vertical resolution (0 for a resolution not above 0),
// scaled, each with 2 decimals and thousands separated.
std::string PrintSize(const FFVideoPart& v, double scale) {
  const double w = v.XRes > 0 ? static_cast<double>(v.Width) / v.XRes : 0;
  const double h = v.YRes > 0 ? static_cast<double>(v.Height) / v.YRes : 0;
  return FloatToStrW(w * scale, 100, 2) + " x " + FloatToStrW(h * scale, 100, 2);
}

std::string CodecText(const std::string& name, bool present, bool supported) {
  if (!present) return "DATA NOT PRESENT";
  return supported ? name : name + ", NOT SUPPORTED";
}

// The folders the window's dialogs start in, remembered for the run.
std::string g_openFolder;
std::string g_saveFolder;

}  // namespace

void InfoListClear(InfoListRec& info) {
  info.FileName.clear();
  FlexClear(info.Table);
}

void InfoListAddFile(InfoListRec& info, const std::string& fileName) {
  SetCursorWait();
  UniInfoRec desc;
  try {
    UniInfo(fileName, desc, seqDetect, nullptr, nullptr);
  } catch (...) {
    // A file no unit describes still gets its rows: the name, and no pictures and no sound.
  }
  if (desc.FileName.empty()) desc.FileName = fileName;
  SetCursorArrow();
  InfoListAddInfo(info, desc);
}

void InfoListAddInfo(InfoListRec& info, const UniInfoRec& desc) {
  info.FileName = desc.FileName;
  const FFVideoPart& v = desc.Video;
  const FFAudioPart& a = desc.Audio;
  const bool video = v.HasVideo != 0;
  const bool audio = a.HasAudio != 0;

  const double uncompressed = v.DataSize + a.DataSize;
  const double ratio = (uncompressed > 0 && desc.FileSize > 0) ? std::fabs(uncompressed / desc.FileSize) : 0;
  const double longest = FltMax(v.Duration, a.Duration);
  const int64_t rate = longest > 0.001 ? FpuRound(desc.FileSize / 1024.0 / longest) : 0;

  AddRow(info, "FILE");
  AddRow(info, "Name", desc.FileName);
  AddRow(info, "Format", desc.Description);
  AddRow(info, "Size", SizeValue(desc.FileSize), SizeUnit(desc.FileSize), Whole(desc.FileSize), "bytes");
  AddRow(info, "Uncompressed size", SizeValue(uncompressed), SizeUnit(uncompressed), Whole(uncompressed), "bytes");
  AddRow(info, "Compression ratio", FloatToStrW(ratio, 0, 2) + " : 1", {}, ratio != 0 ? 100 / ratio : 0.0, "%");
  AddRow(info, "Estimated data rate", rate * 8, "kbps", rate, "kilobytes/s");

  const auto ifVideo = [video](const FlexVar& x) { return video ? x : FlexVar(); };
  AddRow(info, "VIDEO");
  AddRow(info, "Codec", CodecText(v.CodecName, video, v.VideoSupported != 0));
  AddRow(info, "Width x Height", ifVideo(std::to_string(v.Width) + " x " + std::to_string(v.Height)), "pixels",
         ifVideo(FloatToStrW(static_cast<double>(v.Width) * v.Height / 1000000.0, 0, 1)), "megapixels");
  AddRow(info, "Original color depth", ifVideo(DepthText(v.OrigBpp)), {}, ifVideo(ColorCountText(v.OrigBpp)));
  AddRow(info, "Converted color depth", ifVideo(DepthText(v.Bpp)), {}, ifVideo(ColorCountText(v.Bpp)));
  AddRow(info, "Print resolution (width x height)", ifVideo(std::to_string(v.XRes) + " x " + std::to_string(v.YRes)),
         "dpi");
  AddRow(info, "Print size (width x height)", ifVideo(PrintSize(v, 2.54)), "cm", ifVideo(PrintSize(v, 1.0)),
         "inches");
  AddRow(info, "Frames", ifVideo(static_cast<int64_t>(v.Frames)));
  AddRow(info, "Frame rate", ifVideo(v.FrameRate));
  AddRow(info, "Duration", ifVideo(DurationText(15, v.Duration)), {}, ifVideo(v.Duration), "seconds");
  AddRow(info, "Uncompressed size", ifVideo(SizeValue(v.DataSize)), ifVideo(SizeUnit(v.DataSize)),
         ifVideo(Whole(v.DataSize)), "bytes");

  const auto ifAudio = [audio](const FlexVar& x) { return audio ? x : FlexVar(); };
  AddRow(info, "AUDIO");
  AddRow(info, "Codec", CodecText(a.CodecName, audio, a.AudioSupported != 0));
  AddRow(info, "Format", ifAudio(WaveFmtText(a.PcmFormat)));
  AddRow(info, "Samples", ifAudio(static_cast<int64_t>(a.Samples)));
  AddRow(info, "Duration", ifAudio(DurationText(15, a.Duration)), {}, ifAudio(a.Duration), "seconds");
  AddRow(info, "Uncompressed size", ifAudio(SizeValue(a.DataSize)), ifAudio(SizeUnit(a.DataSize)),
         ifAudio(Whole(a.DataSize)), "bytes");
}

std::string InfoCellText(const FlexVar& cell) {
  if (const auto* i = std::get_if<int64_t>(&cell)) {
    const std::string digits = FloatToStrW(static_cast<double>(*i), 100, 0);
    return digits;
  }
  if (const auto* b = std::get_if<bool>(&cell)) return *b ? "TRUE" : "FALSE";
  if (const auto* d = std::get_if<double>(&cell)) {
    if (!std::isfinite(*d)) return "";
    return FloatToStrW(*d, 100, std::trunc(*d) != *d ? 2 : 0);
  }
  if (const auto* s = std::get_if<std::string>(&cell)) return *s;
  return "";
}

std::string InfoValueWithUnit(const InfoListRec& info, int32_t valueColumn, int32_t row) {
  const std::string value = InfoCellText(FlexGetCell(info.Table, valueColumn, row));
  if (value.empty()) return "";
  const std::string unit = InfoCellText(FlexGetCell(info.Table, valueColumn + 1, row));
  return unit.empty() ? value : value + " " + unit;
}

std::string InfoListText(const InfoListRec& info) {
  std::string text;
  for (int32_t row = 0; row < FlexCount(info.Table); ++row) {
    const std::string caption = InfoCellText(FlexGetCell(info.Table, icCaption, row));
    text += (IsSection(caption) ? "" : "    ") + caption + ": " + InfoValueWithUnit(info, icValue, row) + kCrLf;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// The window

TfrmFileInfo::TfrmFileInfo(QWidget* owner) : QDialog(owner) {
  setObjectName("frmFileInfo");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QMenuBar(this);
  QMenu* file = bar->addMenu("&File");
  actOpen = file->addAction("Open Another File...", this, [this] { OpenAnotherFile(); });
  actSave = file->addAction("Save Info as Plain Text...", QKeySequence(Qt::CTRL | Qt::Key_S), this,
                            [this] { SaveInfoAs(); });
  actCopy = file->addAction("Copy Info to Clipboard", QKeySequence(Qt::CTRL | Qt::Key_C), this,
                            [this] { CopyInfo(); });
  actClose = file->addAction("Close This Window", QKeySequence(Qt::Key_Escape), this, [this] { close(); });
  layout->setMenuBar(bar);
  lstInfo = new QTreeWidget(this);
  lstInfo->setObjectName("lstInfo");
  lstInfo->setRootIsDecorated(false);
  lstInfo->setAllColumnsShowFocus(true);
  // A long path or format name is cut in its middle, so both of its ends stay readable.
  lstInfo->setTextElideMode(Qt::ElideMiddle);
  lstInfo->viewport()->installEventFilter(this);
  layout->addWidget(lstInfo);
}

void InfoFitColumns(int32_t room, const int32_t wanted[3], int32_t widths[3]) {
  for (int i = 0; i < 3; ++i) widths[i] = wanted[i];
  const int32_t over = wanted[0] + wanted[1] + wanted[2] - room;
  if (over > 0) widths[1] = IntMax(IntMin(wanted[1], kInfoMinValueWidth), wanted[1] - over);
}

int32_t TfrmFileInfo::WantedWindowWidth() const {
  // The list fills the window: around the columns are only its frame and a vertical scroll bar.
  const int32_t chrome = 2 * lstInfo->frameWidth() + lstInfo->verticalScrollBar()->sizeHint().width();
  return WantedWidths[0] + WantedWidths[1] + WantedWidths[2] + chrome;
}

void TfrmFileInfo::FitColumns() {
  if (lstInfo->columnCount() < 3) return;
  int32_t widths[3];
  InfoFitColumns(lstInfo->viewport()->width(), WantedWidths, widths);
  for (int i = 0; i < 3; ++i) lstInfo->setColumnWidth(i, widths[i]);
}

bool TfrmFileInfo::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lstInfo->viewport() && event->type() == QEvent::Resize) FitColumns();
  return QDialog::eventFilter(watched, event);
}

void TfrmFileInfo::OpenAnotherFile() {
  std::string fileName;
  ExecOpenDialog("Get info about a media file", &g_openFolder, "", fileName, nullptr);
  if (fileName.empty()) return;
  InfoListClear(Info);
  InfoListAddFile(Info, fileName);
  InfoFillGrid_(*this, Info);
}

void TfrmFileInfo::SaveInfoAs() {
  const std::string text = InfoListText(Info);
  if (g_saveFolder.empty()) g_saveFolder = GetExeDir();
  std::string dir, name, ext;
  SplitFileName(Info.FileName, dir, name, ext);
  std::string fileName;
  ExecSaveDialog("Save Info", &g_saveFolder, AddBackslash(g_saveFolder) + name + ext + " (info).txt", fileName,
                 nullptr, "Text Files (*.txt)|*.txt");
  if (fileName.empty()) return;
  if (!StrToFile(fileName, text)) ShowError("The file \"" + fileName + "\" could not be written.");
}

void TfrmFileInfo::CopyInfo() { QGuiApplication::clipboard()->setText(QString::fromStdString(InfoListText(Info))); }

void InfoFillGrid_(TfrmFileInfo& form, const InfoListRec& info) {
  if (&form.Info != &info) form.Info = info;
  QTreeWidget* list = form.lstInfo;
  list->clear();
  list->setColumnCount(3);
  list->setHeaderLabels({"Caption", "Value", "Alt. Value"});
  list->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  QFont font = list->font();
  font.setPointSize(11);
  list->setFont(font);
  // Grid lines between the cells.
  list->setStyleSheet("QTreeWidget::item { border: 1px solid #d0d0d0; }");
  const InfoListRec& rec = form.Info;
  for (int32_t row = 0; row < FlexCount(rec.Table); ++row) {
    const std::string caption = InfoCellText(FlexGetCell(rec.Table, icCaption, row));
    if (caption == "FILE" && row > 0) {
      // A gap between files.
      list->addTopLevelItem(new QTreeWidgetItem(list));
      list->addTopLevelItem(new QTreeWidgetItem(list));
    }
    auto* item = new QTreeWidgetItem;
    item->setText(0, QString::fromStdString((IsSection(caption) ? "" : "  ") + caption + "     "));
    item->setText(1, QString::fromStdString(InfoValueWithUnit(rec, icValue, row) + "     "));
    item->setText(2, QString::fromStdString(InfoValueWithUnit(rec, icAltValue, row)));
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    list->addTopLevelItem(item);
  }
  for (int column = 0; column < 3; ++column) {
    list->resizeColumnToContents(column);
    form.WantedWidths[column] = list->columnWidth(column);
  }
  form.FitColumns();
}

void ShowFileInfoWindow(const InfoListRec& info) {
  TfrmFileInfo form(nullptr);
  QScreen* screen = QGuiApplication::primaryScreen();
  const double ppi = screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
  // The work area, less the room a window frame takes: the window never reaches under a panel or
  // past the screen's edge.
  const QRect work = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);
  const int32_t workW = work.width() - kInfoFrameAllowance.width();
  const int32_t workH = work.height() - kInfoFrameAllowance.height();
  const int32_t height = IntClamp(static_cast<int32_t>(FpuRound(600 * ppi / 96)), 150, IntMax(150, workH));
  form.resize(IntClamp(static_cast<int32_t>(FpuRound(800 * ppi / 96)), 200, IntMax(200, workW)), height);
  form.setWindowTitle("File Information");
  form.Info = info;
  if (FlexIsEmpty(form.Info.Table)) form.OpenAnotherFile();
  if (FlexIsEmpty(form.Info.Table)) return;
  SetCursorWait();
  InfoFillGrid_(form, form.Info);
  // Wider when the columns want it, up to the work area; past that the value column elides.
  if (form.WantedWindowWidth() > form.width()) form.resize(IntMin(form.WantedWindowWidth(), IntMax(200, workW)), height);
  SetCursorArrow();
  RunModalForm(form, "TfrmFileInfo");
}

}  // namespace tavelo

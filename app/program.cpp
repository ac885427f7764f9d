#include "app/program.h"

#include <QApplication>
#include <QImageReader>
#include <QScreen>
#include <QSocketNotifier>

#include <dlfcn.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "app/assoc_list.h"
#include "app/w_tavelo_main.h"
#include "core/services/basic.h"
#include "core/services/cmd_line.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "kit/kit_utils.h"
#include "platform/shell/shell.h"
#include "platform/sysinfo/sysinfo.h"
#include "player/dx8_audio_buf.h"

namespace tavelo {

namespace {

bool g_unitsUp = false;

// The work area of the screen the toolkit calls primary.
bool ScreenWorkArea(platform::WorkAreaRect& rect) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return false;
  const QRect r = screen->availableGeometry();
  rect.left = r.left();
  rect.top = r.top();
  rect.right = r.left() + r.width();
  rect.bottom = r.top() + r.height();
  return true;
}

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// True when something accepts a connection on the socket (abstract: in the abstract namespace).
bool UnixSocketAnswers(const std::string& path, bool abstract) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + offset, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  ::close(fd);
  return ok;
}

// An X11 display name is [host]:number[.screen]; a local display listens on a socket named after
// its number, a remote one on TCP port 6000 + number.
bool X11DisplayAnswers(const std::string& display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  const int number = std::atoi(display.c_str() + colon + 1);
  if (host.empty() || host == "unix") {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    return UnixSocketAnswers(path, true) || UnixSocketAnswers(path, false);
  }
  if (host[0] == '/') return true;  // a socket path: left to the toolkit
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(6000 + number).c_str(), &hints, &list) != 0) return false;
  bool ok = false;
  for (addrinfo* a = list; a != nullptr && !ok; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    ok = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    ::close(fd);
  }
  ::freeaddrinfo(list);
  return ok;
}

// The X server's own answer to a connection: a socket that accepts can still belong to a server
// that refuses the client (a cookie it does not know), and the toolkit aborts the program then.
// The X protocol library the toolkit's X11 plugin uses is asked first; where it is not there,
// the toolkit has no X11 plugin to abort with either.
bool X11ServerAccepts(const std::string& display, std::string& why) {
  void* lib = ::dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (lib == nullptr) return true;
  using ConnectFn = void* (*)(const char*, int*);
  using HasErrorFn = int (*)(void*);
  using DisconnectFn = void (*)(void*);
  const auto connect = reinterpret_cast<ConnectFn>(::dlsym(lib, "xcb_connect"));
  const auto hasError = reinterpret_cast<HasErrorFn>(::dlsym(lib, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<DisconnectFn>(::dlsym(lib, "xcb_disconnect"));
  bool ok = true;
  if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
    // The library prints the server's refusal itself; the program's own line says it instead.
    std::fflush(stderr);
    const int savedErr = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (savedErr >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
    void* c = connect(display.c_str(), nullptr);
    ok = c != nullptr && hasError(c) == 0;
    if (c != nullptr) disconnect(c);
    if (savedErr >= 0 && null >= 0) ::dup2(savedErr, STDERR_FILENO);
    if (savedErr >= 0) ::close(savedErr);
    if (null >= 0) ::close(null);
    if (!ok) why = "tavelo: the display " + display + " refuses the connection (not authorized?)";
  }
  ::dlclose(lib);
  return ok;
}

// SIGTERM (the session ends) and SIGINT (Ctrl+C) close the main window as the user would, so
// the settings are saved. The handler only writes to a pipe that the event loop watches; a
// second signal takes its default action.
int g_signalPipe[2] = {-1, -1};

void OnCloseSignal(int) {
  const char byte = 1;
  const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  (void)n;
}

bool CatchCloseSignals() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = &OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  return true;
}

void ReleaseCloseSignals() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  for (int& fd : g_signalPipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

// The end of the program after a fatal monitoring failure.
void ProgramExit(int exitCode) {
  ProgramUnitsDone();
  std::exit(exitCode);
}

}  // namespace

void PngImageUnitInit() {
  CountInitPart();
  // The toolkit reads PNG pictures itself; the picture buttons need nothing more than that.
  if (!QImageReader::supportedImageFormats().contains("png"))
    std::fprintf(stderr, "tavelo: the window toolkit cannot read PNG pictures\n");
}

void D3D8UnitInit() {
  CountInitPart();
  // Direct3D serves no drawing here: the display window paints through the toolkit, so there is
  // no library to bind.
}

void D3D8UnitDone() {}

void ProgramUnitsInit() {
  if (g_unitsUp) return;
  g_unitsUp = true;
  PngImageUnitInit();
  FFTablesUnitInit();
  ConformUnitInit();
  D3D8UnitInit();
  DX8AudioBufUnitInit();
}

void ProgramUnitsDone() {
  if (!g_unitsUp) return;
  g_unitsUp = false;
  DX8AudioBufUnitDone();
  D3D8UnitDone();
  ConformUnitDone();
  ReportLeaks();
  TraceFinish(platform::ProgramFileName());
}

bool CheckUninstallSwitch() {
  if (!CmdLine_HasCmd("uninst")) return false;
  RestoreAssociations();
  return true;
}

bool DisplayAvailable(std::string& why) {
  const std::string platformName = EnvText("QT_QPA_PLATFORM");
  if (!platformName.empty()) return true;
  const std::string wayland = EnvText("WAYLAND_DISPLAY");
  if (!wayland.empty()) {
    const std::string socket = wayland[0] == '/' ? wayland : EnvText("XDG_RUNTIME_DIR") + "/" + wayland;
    if (UnixSocketAnswers(socket, false)) return true;
  }
  const std::string display = EnvText("DISPLAY");
  if (display.empty()) {
    why = "tavelo: no display to show the window on (DISPLAY is not set)";
    return false;
  }
  if (!X11DisplayAnswers(display)) {
    why = "tavelo: the display " + display + " does not answer";
    return false;
  }
  return X11ServerAccepts(display, why);
}

int TaveloMain(int argc, char** argv) {
  CmdLine_SetArgs(argc, argv);
  ProgramUnitsInit();
  SetProgramExitHook(&ProgramExit);
  if (CheckUninstallSwitch()) {
    ProgramUnitsDone();
    return 0;
  }
  std::string why;
  if (!DisplayAvailable(why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    ProgramUnitsDone();
    return 1;
  }
  // A copy or a move to the trash that an earlier run was killed in leaves nothing half-made.
  platform::CleanUpUnfinishedWork();
  int result = 0;
  {
    QApplication app(argc, argv);
    platform::SetWorkAreaProvider(&ScreenWorkArea);
    KitInit();
    {
      TfrmPlayer form;
      std::unique_ptr<QSocketNotifier> closeSignals;
      if (CatchCloseSignals()) {
        closeSignals = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(closeSignals.get(), &QSocketNotifier::activated, &form, [&form] {
          char byte = 0;
          while (::read(g_signalPipe[0], &byte, 1) > 0) {
          }
          form.close();
        });
      }
      form.show();
      result = QApplication::exec();
      form.ProgramDone();
      if (result == 0) result = form.ExitStatus;
      closeSignals.reset();
      ReleaseCloseSignals();
    }
    KitDone();
    platform::SetWorkAreaProvider(nullptr);
  }
  ProgramUnitsDone();
  return result;
}

}  // namespace tavelo

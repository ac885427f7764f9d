// Linked into the programs that run Qt under ThreadSanitizer (the player suite, tavelo-probe).
//
// Under ThreadSanitizer: Qt is not built with it, so the sanitizer cannot see Qt's own locks.
// Qt's painting hands work to its thread pool, and the copies those threads make of Qt's own
// buffers look like races; a call posted to the main thread is built on the posting thread and
// read on the main thread behind Qt's event-queue lock, and that read looks like a race too.
// Only those are dropped: reports from calls made inside the Qt libraries, and reports one of
// whose two accesses is the building of a posted call (inside QMetaObject::invokeMethod, where
// nothing else happens). Every other access made by our own code, including everything a posted
// call goes on to do, is still checked.
//
// FFmpeg is not built with it either: its picture decoders on frame threads hand packets and
// pictures between threads by reference counts and state flags kept in atomics the sanitizer
// cannot see, so a buffer freed on one thread after another last used it looks like a race.
// Reports with a call inside FFmpeg's libraries on either side are dropped for that reason.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "race:QMetaObject::invokeMethod\n"
         "race:libavcodec.so\n"
         "race:libavutil.so\n"
         "race:libswscale.so\n";
}
#endif
#endif

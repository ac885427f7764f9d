/* The loader behind the entries that cmake/delay_load.cmake generates. The first call into a
 * delayed library, on whatever thread, opens the library by its SONAME, points every slot of it at
 * the real function and hands back the one asked for; later calls jump straight through the
 * slots. A library or function that cannot be found ends the program with the loader's reason,
 * as the dynamic loader would have done at start. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

/* Laid out by the generated assembly: keep the two in step. */
struct tavelo_delay_record {
  const char* soname;
  const char* const* names;
  void** slots;
  long count;
  void* handle;
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

static void tavelo_delay_fail(const char* what, const char* name, const char* why) {
  fprintf(stderr, "tavelo: cannot load %s%s%s: %s\n", what, name != NULL ? ", function " : "",
          name != NULL ? name : "", why != NULL ? why : "not found");
  abort();
}

void* tavelo_delay_load_resolve(struct tavelo_delay_record* record, long index) {
  pthread_mutex_lock(&g_lock);
  if (record->handle == NULL) {
    void* handle = dlopen(record->soname, RTLD_NOW | RTLD_GLOBAL);
    if (handle == NULL) tavelo_delay_fail(record->soname, NULL, dlerror());
    for (long i = 0; i < record->count; ++i) {
      void* target = dlsym(handle, record->names[i]);
      /* Unknown names keep their loader entry: calling one ends in the failure below. */
      if (target != NULL) __atomic_store_n(&record->slots[i], target, __ATOMIC_RELEASE);
    }
    record->handle = handle;
  }
  void* target = dlsym(record->handle, record->names[index]);
  pthread_mutex_unlock(&g_lock);
  if (target == NULL) tavelo_delay_fail(record->soname, record->names[index], dlerror());
  return target;
}

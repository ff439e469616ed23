/* Linked into linked_host: reports, once every library of the program has
 * been finalised at exit, whether the library's fault handler is still
 * installed ("kept") or the one from before it is back ("restored"). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

extern int __cxa_atexit(void (*handler)(void *), void *argument, void *object);

static void report(void *unused) {
  struct sigaction current;
  Dl_info info = {0};
  (void)unused;
  int kept = sigaction(SIGSEGV, NULL, &current) == 0 && dladdr((void *)current.sa_sigaction, &info) != 0 &&
             info.dli_fname != NULL && strstr(info.dli_fname, "libvgm_Common") != NULL;
  (void)!write(1, kept ? "kept\n" : "restored\n", kept ? 5 : 9);
}

/* Registered while the program is being loaded, before the loader's own exit
 * work, so it runs after that work. */
static int armed = 0;
__attribute__((constructor)) static void probeLoaded(void) { armed = __cxa_atexit(report, NULL, NULL) == 0; }

/* Called by the program, so that the linker keeps the probe. */
__attribute__((visibility("default"))) int exitProbeArmed(void) { return armed; }

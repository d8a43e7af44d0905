/* A qemu-user plugin that counts the guest instructions of one process and,
 * when it ends, appends one line to the file named by its argument
 * (out=PATH), else to "counts" beside the plugin (qemu's -E cannot give an
 * argument with a comma): "<instructions> <program>", the program being the guest
 * binary from qemu's command line (the kernel's binfmt handler puts it
 * second). Appending keeps every process of a box, where a log file per
 * process number would be cut by the next program that the same process
 * starts. Built by scripts/qemu-insn-plugin.sh against Debian's qemu
 * source. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <qemu-plugin.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

static uint64_t count;
static char path[512];

static void translated(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &count, qemu_plugin_tb_n_insns(tb));
}

/* The guest program: the first argument of qemu's command line that does
 * not start with "-" and is not an option's value, after qemu itself. */
static void program(char* out, size_t size) {
  char line[4096];
  snprintf(out, size, "?");
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  if (n <= 0) return;
  line[n] = 0;
  /* Options of qemu that take a value, as the box's emulator is started. */
  static const char* const valued[] = {"-L", "-cpu", "-plugin", "-d", "-D", "-E", "-U", NULL};
  const char* at = line + strlen(line) + 1;
  while (at < line + n) {
    int takes = 0;
    for (int i = 0; valued[i]; i++) takes |= strcmp(at, valued[i]) == 0;
    if (takes) {
      at += strlen(at) + 1;
    } else if (at[0] != '-') {
      snprintf(out, size, "%s", at);
      return;
    }
    at += strlen(at) + 1;
  }
}

static void ended(qemu_plugin_id_t id, void* data) {
  (void)id;
  (void)data;
  char name[512], text[640];
  program(name, sizeof name);
  int length = snprintf(text, sizeof text, "%llu %s\n", (unsigned long long)count, name);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || length <= 0) return;
  if (write(fd, text, (size_t)length) != length) fprintf(stderr, "box_count: cannot write %s\n", path);
  close(fd);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc, char** argv) {
  (void)info;
  for (int i = 0; i < argc; i++)
    if (strncmp(argv[i], "out=", 4) == 0) snprintf(path, sizeof path, "%s", argv[i] + 4);
  Dl_info self;
  if (!path[0] && dladdr((void*)&count, &self) && self.dli_fname) {
    snprintf(path, sizeof path, "%s", self.dli_fname);
    char* slash = strrchr(path, '/');
    snprintf(slash ? slash + 1 : path, sizeof path - (size_t)(slash ? slash + 1 - path : 0), "counts");
  }
  if (!path[0]) {
    fprintf(stderr, "box_count: give out=PATH\n");
    return -1;
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, translated);
  qemu_plugin_register_atexit_cb(id, ended, NULL);
  return 0;
}

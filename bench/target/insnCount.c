/* A qemu TCG plugin (plugin interface version 1, qemu 7.2 and later) that counts the guest
 * instructions executed at addresses in [start, end): exact counts, the same on every run.
 * Two more addresses mark the guest's own points of measurement: executing the instruction at
 * `reset` sets the count to zero, executing the one at `report` prints "count N" to qemu's log
 * (-d plugin -D FILE).
 *
 *   qemu-system-arm ... -plugin insnCount.so,start=0x1000,end=0x1400,reset=0x200,report=0x204 -d plugin
 *
 * qemu ships no header for the interface, so the few calls used here are declared below as
 * qemu-plugin.h gives them. */
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *insn);
void qemu_plugin_register_vcpu_insn_exec_inline(struct qemu_plugin_insn *insn, enum qemu_plugin_op op, void *ptr,
                                                uint64_t imm);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *insn, qemu_plugin_vcpu_udata_cb_t cb,
                                            enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_outs(const char *string);

#define EXPORTED __attribute__((visibility("default")))

EXPORTED int qemu_plugin_version = 1;

static uint64_t start, end, resetAt, reportAt;
static uint64_t count;

static void resetCount(unsigned int vcpu, void *userdata) {
  (void)vcpu;
  (void)userdata;
  count = 0;
}

static void reportCount(unsigned int vcpu, void *userdata) {
  char line[40];
  (void)vcpu;
  (void)userdata;
  snprintf(line, sizeof line, "count %" PRIu64 "\n", count);
  qemu_plugin_outs(line);
}

/* Called once per translated block: every instruction in the range gets an inline increment,
 * the two marks a call. */
static void translated(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  for (size_t i = 0; i < qemu_plugin_tb_n_insns(tb); ++i) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    const uint64_t address = qemu_plugin_insn_vaddr(insn);
    if (address >= start && address < end)
      qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64, &count, 1);
    if (address == resetAt) qemu_plugin_register_vcpu_insn_exec_cb(insn, resetCount, QEMU_PLUGIN_CB_NO_REGS, NULL);
    if (address == reportAt) qemu_plugin_register_vcpu_insn_exec_cb(insn, reportCount, QEMU_PLUGIN_CB_NO_REGS, NULL);
  }
}

/* Reads "name=0x..." into *value; false if the argument is not that name. */
static bool argument(const char *text, const char *name, uint64_t *value) {
  const size_t length = strlen(name);
  if (strncmp(text, name, length) != 0 || text[length] != '=') return false;
  *value = strtoull(text + length + 1, NULL, 0);
  return true;
}

EXPORTED int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
  int seen = 0;
  (void)info;
  for (int i = 0; i < argc; ++i) {
    seen += argument(argv[i], "start", &start) || argument(argv[i], "end", &end) ||
            argument(argv[i], "reset", &resetAt) || argument(argv[i], "report", &reportAt);
  }
  if (seen != 4 || start >= end) {
    fprintf(stderr, "insnCount: needs start=, end=, reset= and report= addresses, start below end\n");
    return -1;
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, translated);
  return 0;
}

/* Test-only fault injection, loaded with LD_PRELOAD: makes chosen System V calls fail with
 * chosen errors at a chosen count, so that error paths run in real processes.
 *
 *   PXR_FAULT=CALL:ERROR:N[:K][,CALL:ERROR:N[:K]...]
 *
 * CALL is semop, semget, msgsnd, msgrcv, shmget or shmat; ERROR an errno name (EIDRM, EAGAIN,
 * ...) or number; the Nth call of CALL (counted from 1 since arming) and the K - 1 calls after it
 * fail (K defaults to 1; K = 0 fails every call from the Nth on). A failing call does nothing and
 * returns the call's failure value with errno set. Only errors the kernel can give are given:
 * EAGAIN (ENOMSG for msgrcv) only to a call made with IPC_NOWAIT; a blocking call in the range
 * goes through unharmed.
 *
 * The shim arms itself at load time unless PXR_FAULT_ARM=manual; a program can then arm it
 * when it is ready with pxr_fault_arm() (found with dlsym), which also resets the counts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/types.h>

enum { F_SEMOP, F_MSGSND, F_MSGRCV, F_SHMGET, F_SHMAT, F_SEMGET, F_CALLS };
static const char *const call_names[F_CALLS] = {"semop",  "msgsnd", "msgrcv",
                                                "shmget", "shmat",  "semget"};

#define MAX_RULES 8
struct rule {
    int call;
    int error;
    unsigned long first;
    unsigned long times; /* 0 = no end */
};
static struct rule rules[MAX_RULES];
static int rule_count;
static int armed;
static unsigned long calls[F_CALLS];

static const struct {
    const char *name;
    int value;
} errno_names[] = {{"EIDRM", EIDRM},   {"EAGAIN", EAGAIN}, {"EINTR", EINTR},
                   {"ENOMEM", ENOMEM}, {"ENOENT", ENOENT}, {"ENOMSG", ENOMSG}};

static int parse_errno(const char *text) {
    for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
        if (strcmp(text, errno_names[i].name) == 0) return errno_names[i].value;
    return atoi(text);
}

/* The index of a call's name, or -1. */
static int call_index(const char *name) {
    for (int c = 0; c < F_CALLS; ++c)
        if (strcmp(name, call_names[c]) == 0) return c;
    return -1;
}

static void parse_rules(const char *text) {
    rule_count = 0;
    if (text == NULL) return;
    char buf[512];
    snprintf(buf, sizeof buf, "%s", text);
    char *save = NULL;
    for (char *item = strtok_r(buf, ",", &save); item && rule_count < MAX_RULES;
         item = strtok_r(NULL, ",", &save)) {
        char call[16], error[16];
        unsigned long first, times = 1;
        if (sscanf(item, "%15[^:]:%15[^:]:%lu:%lu", call, error, &first, &times) < 3 ||
            call_index(call) < 0)
            continue;
        rules[rule_count++] = (struct rule){call_index(call), parse_errno(error), first, times};
    }
}

/* Counts a call; nonzero (with errno set) when it is to fail. nowait: the call was made with
 * IPC_NOWAIT, without which the kernel never answers EAGAIN or ENOMSG. */
static int should_fail(int call, int nowait) {
    if (!armed) return 0;
    unsigned long n = ++calls[call];
    for (int i = 0; i < rule_count; ++i) {
        const struct rule *r = &rules[i];
        if (r->call != call || n < r->first) continue;
        if (r->times != 0 && n >= r->first + r->times) continue;
        if (!nowait && (r->error == EAGAIN || r->error == ENOMSG)) continue;
        errno = r->error;
        return 1;
    }
    return 0;
}

__attribute__((visibility("default"))) void pxr_fault_arm(void) {
    memset(calls, 0, sizeof calls);
    parse_rules(getenv("PXR_FAULT"));
    armed = 1;
}

__attribute__((visibility("default"))) void pxr_fault_disarm(void) {
    armed = 0;
}

/* Calls of CALL since arming. */
__attribute__((visibility("default"))) unsigned long pxr_fault_calls(const char *name) {
    const int c = call_index(name);
    return c < 0 ? 0 : calls[c];
}

__attribute__((constructor)) static void shim_load(void) {
    const char *mode = getenv("PXR_FAULT_ARM");
    if (mode == NULL || strcmp(mode, "manual") != 0) pxr_fault_arm();
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int semop(int semid, struct sembuf *sops, size_t nsops) {
    int nowait = 0;
    for (size_t i = 0; i < nsops; ++i)
        if (sops[i].sem_flg & IPC_NOWAIT) nowait = 1;
    if (should_fail(F_SEMOP, nowait)) return -1;
    return REAL(semop)(semid, sops, nsops);
}

int msgsnd(int msqid, const void *msgp, size_t msgsz, int msgflg) {
    if (should_fail(F_MSGSND, msgflg & IPC_NOWAIT)) return -1;
    return REAL(msgsnd)(msqid, msgp, msgsz, msgflg);
}

ssize_t msgrcv(int msqid, void *msgp, size_t msgsz, long msgtyp, int msgflg) {
    if (should_fail(F_MSGRCV, msgflg & IPC_NOWAIT)) return -1;
    return REAL(msgrcv)(msqid, msgp, msgsz, msgtyp, msgflg);
}

int shmget(key_t key, size_t size, int shmflg) {
    if (should_fail(F_SHMGET, 1)) return -1;
    return REAL(shmget)(key, size, shmflg);
}

void *shmat(int shmid, const void *shmaddr, int shmflg) {
    if (should_fail(F_SHMAT, 1)) return (void *)-1;
    return REAL(shmat)(shmid, shmaddr, shmflg);
}

int semget(key_t key, int nsems, int semflg) {
    if (should_fail(F_SEMGET, 1)) return -1;
    return REAL(semget)(key, nsems, semflg);
}

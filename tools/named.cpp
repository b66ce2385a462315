// Named environments: `pxr load --name NAME FILE` runs the environment in an IPC namespace of
// its own, which every process it starts inherits, so the fixed key plan serves any number of
// environments on one host. `pxr --name NAME COMMAND` joins that namespace before it runs
// COMMAND.
//
// A namespace lives as long as one process is in it, and it is found by name through one file
// in the runtime folder (/run/pxr for root, $XDG_RUNTIME_DIR/pxr or /tmp/pxr-UID otherwise;
// PXR_RUNTIME_DIR overrides): NAME holds the loader's pid and the namespace's inode. The loader
// removes the file when it ends. Were it killed, the file outlives it: a join then looks for
// any process of the user still in that namespace (its spawned processes, which `pxr --name
// NAME clean` stops), and removes the file once none is left, because the kernel removes a
// namespace's IPC objects with the namespace. No mount and no daemon are needed.
//
// An ordinary user cannot create an IPC namespace alone, so the loader then creates a user
// namespace with it that maps the user to itself (nothing else changes: same uid, same
// files); joining needs only that the joining user owns it.
#include "tool.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace pxrtool {

namespace {

constexpr size_t kMaxNameLength = 64;
constexpr int kExitCannotBuild = 69; // as pxr load: an environment of that name runs

bool valid_name(const std::string &name) {
    if (name.empty() || name.size() > kMaxNameLength || name[0] == '.' || name[0] == '-')
        return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

// The folder of the registration files; created (0755 for root, 0700 otherwise) when create.
std::string runtime_dir(bool create) {
    std::string dir;
    if (const char *own = std::getenv("PXR_RUNTIME_DIR"); own != nullptr && own[0] != '\0')
        dir = own;
    else if (geteuid() == 0)
        dir = "/run/pxr";
    else if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && xdg[0] == '/')
        dir = std::string(xdg) + "/pxr";
    else
        dir = "/tmp/pxr-" + std::to_string(geteuid());
    if (create) mkdir(dir.c_str(), geteuid() == 0 ? 0755 : 0700);
    return dir;
}

// Whether the folder may be trusted with registrations: the user's own, writable by nobody
// else (a folder another user made in /tmp could name that user's namespaces). A folder that
// does not exist holds no registration.
bool trusted_dir(const std::string &dir, const char *cmd) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0) return true;
    std::fprintf(stderr, "pxr %s: %s is not a folder of this user's alone: refused\n", cmd,
                 dir.c_str());
    return false;
}

// The inode of a process's IPC or user namespace, 0 when it cannot be read.
ino_t ns_inode(pid_t pid, const char *kind) {
    struct stat st {};
    std::string path =
        "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/ns/" + kind;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct Registration {
    pid_t loader = 0;
    ino_t ipc = 0;
};

bool read_registration(const std::string &path, Registration &reg) {
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    long pid = 0;
    unsigned long long ino = 0;
    bool ok = std::fscanf(f, "%ld %llu", &pid, &ino) == 2 && pid > 0 && ino != 0;
    std::fclose(f);
    reg.loader = pid_t(pid);
    reg.ipc = ino_t(ino);
    return ok;
}

// A process in the registered namespace: the loader, else any other this user may look at.
pid_t process_in(const Registration &reg) {
    if (ns_inode(reg.loader, "ipc") == reg.ipc) return reg.loader;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t found = 0;
    while (const dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
        if (ns_inode(pid_t(pid), "ipc") == reg.ipc) {
            found = pid_t(pid);
            break;
        }
    }
    closedir(proc);
    return found;
}

bool write_file(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// Moves the calling process into a new IPC namespace; an ordinary user gets a user namespace
// that maps the user to itself with it.
bool unshare_ipc(std::string &why) {
    if (unshare(CLONE_NEWIPC) == 0) return true;
    if (errno != EPERM) {
        why = std::string("cannot create an IPC namespace: ") + std::strerror(errno);
        return false;
    }
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        why = std::string("cannot create a user and IPC namespace: ") + std::strerror(errno) +
              " (unprivileged user namespaces must be allowed: sysctl "
              "user.max_user_namespaces > 0, kernel.unprivileged_userns_clone=1 where it exists)";
        return false;
    }
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
        !write_file("/proc/self/gid_map", gid + " " + gid + " 1\n")) {
        why = std::string("cannot map the user into its namespace: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Joins the namespace kind of pid: 0, or errno.
int join(pid_t pid, const char *kind, int nstype) {
    std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = setns(fd, nstype) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

void remove_registration(const std::string &path) {
    unlink(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str()); // only when it is empty
}

} // namespace

bool check_name(const char *cmd, const std::string &name) {
    if (valid_name(name)) return true;
    std::fprintf(stderr,
                 "pxr %s: bad environment name '%s' (1 to 64 letters, digits, '-', '_', '.'; "
                 "not starting with '.' or '-')\n",
                 cmd, name.c_str());
    return false;
}

int run_named_loader(const std::string &name, int argc, char **argv) {
    if (!check_name("load", name)) return kExitUsage;
    const std::string dir = runtime_dir(true);
    if (!trusted_dir(dir, "load")) return kExitCannotBuild;
    const std::string path = dir + "/" + name;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 2; ++attempt) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) break;
        Registration reg;
        if (read_registration(path, reg) && process_in(reg) != 0) {
            std::fprintf(stderr, "pxr load: an environment named %s runs (loader pid %d)\n",
                         name.c_str(), int(reg.loader));
            return kExitCannotBuild;
        }
        unlink(path.c_str()); // left by a loader that was killed; its namespace is gone
    }
    if (fd < 0) {
        std::fprintf(stderr, "pxr load: cannot register %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return kExitCannotBuild;
    }
    std::string why;
    if (!unshare_ipc(why)) {
        close(fd);
        remove_registration(path);
        std::fprintf(stderr, "pxr load: %s\n", why.c_str());
        return kExitCannotBuild;
    }
    const std::string text =
        std::to_string(getpid()) + " " + std::to_string(ns_inode(0, "ipc")) + "\n";
    bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    if (!written) {
        remove_registration(path);
        std::fprintf(stderr, "pxr load: cannot write %s\n", path.c_str());
        return kExitCannotBuild;
    }
    int rc = cmd_load(argc, argv);
    remove_registration(path);
    return rc;
}

bool join_named(const char *cmd, const std::string &name) {
    if (!check_name(cmd, name)) return false;
    const std::string dir = runtime_dir(false);
    if (!trusted_dir(dir, cmd)) return false;
    const std::string path = dir + "/" + name;
    Registration reg;
    pid_t member = 0;
    if (read_registration(path, reg)) member = process_in(reg);
    if (member == 0) {
        if (access(path.c_str(), F_OK) == 0 && reg.ipc != 0) remove_registration(path);
        std::fprintf(stderr,
                     "pxr %s: no environment named %s (start one with `pxr load --name %s "
                     "FILE`)\n",
                     cmd, name.c_str(), name.c_str());
        return false;
    }
    int rc = join(member, "ipc", CLONE_NEWIPC);
    if (rc == EPERM && ns_inode(member, "user") != ns_inode(0, "user")) {
        // The namespace belongs to the user namespace of an ordinary user's loader.
        rc = join(member, "user", CLONE_NEWUSER);
        if (rc == 0) rc = join(member, "ipc", CLONE_NEWIPC);
    }
    if (rc != 0) {
        std::fprintf(stderr, "pxr %s: cannot enter the environment named %s: %s\n", cmd,
                     name.c_str(), std::strerror(rc));
        return false;
    }
    return true;
}

int cmd_exec(int argc, char **argv) {
    if (argc < 2 || is_help(argv[1])) {
        std::fputs("usage: pxr [--name NAME] exec PROGRAM [ARG ...]\n"
                   "\n"
                   "Run PROGRAM in the environment (with --name, in the named environment's IPC\n"
                   "namespace), for processes that the loader does not start.\n",
                   argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "pxr exec: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return errno == ENOENT ? 127 : 126;
}

} // namespace pxrtool

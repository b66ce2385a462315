#include "tool.h"

#include "check.h"
#include "config_bridge.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace pxrtool {

int cmd_reclaim(int argc, char **argv); // reclaim.cpp

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *summary;
};

constexpr Command kCommands[] = {
    {"load", cmd_load, "build an environment from a file, run it, remove it"},
    {"status", cmd_status, "print the status report (--json)"},
    {"msgs", cmd_msgs, "list the allocated message buffers (--json)"},
    {"queues", cmd_queues, "list module queues and aliases (--json)"},
    {"procs", cmd_procs, "list the process table (--json)"},
    {"watch", cmd_watch, "show partitions, queues and processes as they move"},
    {"metrics", cmd_metrics, "figures in the Prometheus text format (--listen ADDR:PORT)"},
    {"terminate", cmd_terminate, "terminate the running environment"},
    {"clean", cmd_clean, "remove the objects a crashed environment left"},
    {"check", cmd_check, "account for every buffer of both partitions (read-only)"},
    {"bridge", cmd_bridge, "carry module traffic to other hosts over NATS (--stats)"},
    {"reclaim", cmd_reclaim, "give back the buffers of processes that no longer run"},
    {"exec", cmd_exec, "run a program in the environment (with --name: the named one)"},
};

void usage(FILE *out) {
    std::fputs("usage: pxr [--name NAME] COMMAND [ARGS]   (pxr COMMAND --help for details; pxr "
               "--version)\n\n",
               out);
    for (const Command &c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fputs("\n  --name NAME  the environment `pxr load --name NAME FILE` runs in an IPC\n"
               "               namespace of its own (without it: the host's environment)\n",
               out);
}

// Takes "--name NAME" or "--name=NAME" at argv[i] out of argv; false when it is not there.
bool take_name(int &argc, char **argv, int i, std::string &name) {
    const char *arg = argv[i];
    int used = 0;
    if (std::strncmp(arg, "--name=", 7) == 0) {
        name = arg + 7;
        used = 1;
    } else if (std::strcmp(arg, "--name") == 0 && i + 1 < argc) {
        name = argv[i + 1];
        used = 2;
    } else {
        return false;
    }
    for (int j = i; j + used <= argc; ++j) argv[j] = argv[j + used];
    argc -= used;
    return true;
}

} // namespace

int pxr_main(int argc, char **argv) {
    std::string name;
    bool named = argc >= 2 && take_name(argc, argv, 1, name);
    if (argc >= 2 && std::strcmp(argv[1], "load") == 0) {
        // pxr load [OPTIONS] --name NAME FILE: the name may stand among the loader's options.
        for (int i = 2; i < argc && !named; ++i) {
            if (std::strcmp(argv[i], "--timeout") == 0)
                ++i; // its value is no option
            else if (argv[i][0] != '-')
                break; // FILE
            else
                named = take_name(argc, argv, i, name);
        }
        if (named) return run_named_loader(name, argc - 1, argv + 1);
    }
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    if (named && std::strcmp(argv[1], "--version") != 0 && !is_help(argv[1]) &&
        !join_named(argv[1], name))
        return kExitFailure;
    if (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "version") == 0)
        return cmd_version(argc - 1, argv + 1);
    if (is_help(argv[1]) || std::strcmp(argv[1], "help") == 0) {
        if (argc > 2 && !is_help(argv[1])) {
            for (const Command &c : kCommands) {
                if (std::strcmp(c.name, argv[2]) == 0) {
                    char help[] = "--help";
                    char *sub[] = {argv[2], help, nullptr};
                    return c.run(2, sub);
                }
            }
        }
        usage(stdout);
        return kExitOk;
    }
    for (const Command &c : kCommands)
        if (std::strcmp(c.name, argv[1]) == 0) return c.run(argc - 1, argv + 1);
    std::fprintf(stderr, "pxr: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return kExitUsage;
}

} // namespace pxrtool

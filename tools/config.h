// The loader's configuration file: a small set of directives read with the library's own
// line reader and tokenizer. The whole file is checked before anything is created.
//
//   * comment (an asterisk starts a comment anywhere on a line)
//   environment [atomic] [error-print] [no-attach] [fatal-action=N] [congestion=ID]
//               [receive-spin=US] [ring-queues[=N]] [access=0600|0660|0666]
//   partition P buffers=N size=BYTES [onset=N abate=N]
//   queue ID [ID ...]
//   alias ID TARGET
//   group ID [all-or-nothing] MEMBER [MEMBER ...]   (1 to 16 members with queues of their own)
//   spawn [restart=no|on-failure|always] [restart-limit=N] [restart-delay=MS] [critical] [cwd=DIR]
//         [env=NAME=VALUE ...] [cpu=LIST] [--] PROGRAM [ARGUMENT ...]
//         (LIST: CPU numbers and ranges, as 0:2-3, or with commas in a quoted word "cpu=0,2-3")
#pragma once

#include "config_bridge.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pxrtool {

// Longest line the reader accepts, without its line end.
inline constexpr int kMaxLineLength = 1023;
// Highest CPU number a spawn line's cpu= may name (the size of the kernel's CPU set).
inline constexpr uint64_t kMaxCpu = 1023;
// Records per module queue of `environment ring-queues` without a number.
inline constexpr uint32_t kDefaultRingCapacity = 1024;

struct PartitionConfig {
    bool defined = false;
    int line = 0;
    int32_t buffers = 0;
    uint32_t size = 0;
    uint32_t onset = 0;
    uint32_t abate = 0;
};

struct AliasConfig {
    uint32_t module = 0;
    uint32_t target = 0;
    int line = 0;
};

struct GroupConfig {
    uint32_t module = 0;
    std::vector<uint8_t> members;
    bool all_or_nothing = false;
    int line = 0;
};

enum class RestartPolicy : uint32_t { No = 0, OnFailure = 1, Always = 2 };

// Restarts in a row (without a run of kRestartResetSeconds in between) before the loader
// gives up on a process, unless the spawn line sets restart-limit (0 = no limit).
inline constexpr uint32_t kDefaultRestartLimit = 5;

struct SpawnConfig {
    std::vector<std::string> argv; // argv[0] as written: the process's name
    std::string program;           // what is executed: a PATH name, or an absolute path
    std::string cwd;               // empty: the loader's working directory
    std::vector<std::string> env;  // NAME=VALUE added to the loader's environment
    std::vector<uint16_t> cpus;    // the CPUs the process is pinned to; empty: not pinned
    RestartPolicy restart = RestartPolicy::No;
    uint32_t restart_limit = kDefaultRestartLimit;
    uint32_t restart_delay_ms = 100; // first back-off; it doubles up to 10 s (or this)
    bool critical = false;
    int line = 0;
};

struct Config {
    uint32_t init_flags = 0; // PXR_INIT_* bits, without PXR_INIT_CREATE
    uint32_t congestion_module = 0;
    int64_t receive_spin_us = -1; // for the spawned processes; -1: not given
    uint32_t ring_capacity = 0;   // records per ring queue; 0: kernel queues
    int32_t access = -1;          // permission of the objects (PXR_set_access); -1: the library's
    PartitionConfig partitions[2];
    std::vector<uint32_t> queues; // module ids that get a queue of their own, in file order
    std::vector<AliasConfig> aliases;
    std::vector<GroupConfig> groups;
    std::vector<SpawnConfig> spawns;
    BridgeConfig bridge; // bridge and remote lines (config_bridge.h)

    bool atomic() const;
};

// Parses a whole configuration held in text; name prefixes the error lines. Every problem
// found becomes one line "name:LINE: message: text of the line" in errors (without a line
// end; bytes that are not printable are shown as \xNN), at most kMaxErrors of them and then
// one line that counts the rest. Returns true when the file is valid (errors then empty).
// Relative spawn paths that contain a slash, and relative cwd= folders, are taken relative
// to the folder of name.
bool parse_config(std::string_view text, std::string_view name, Config &out,
                  std::vector<std::string> &errors);

inline constexpr std::size_t kMaxErrors = 20;

// Reads path and parses it as above; a file that cannot be read (missing, a directory, not
// readable, too large) is one error "path: message".
// unreadable (may be null) tells which of the two failed.
bool read_config_file(const char *path, Config &out, std::vector<std::string> &errors,
                      bool *unreadable = nullptr);

// Whether argv[0] of a spawn line names something execvp can start: a path containing a
// slash must be an executable regular file, a bare name is searched along search_path
// (null: the PATH of this process).
bool program_exists(const std::string &program, const char *search_path = nullptr);

// Number text as the directives take it: decimal or 0x-hexadecimal, no sign, at most max.
bool parse_number(std::string_view text, uint64_t max, uint64_t &value);

} // namespace pxrtool

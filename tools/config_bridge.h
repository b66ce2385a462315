// The loader's bridge directives: `bridge` names the NATS servers and the cluster, `remote`
// names module ids that live on other hosts. The same option words are the bridge program's
// command line, so the loader starts it with the words of the directive.
//
//   bridge url=URL [url=URL ...] cluster=NAME [module=ID] [node=NAME] [credentials=FILE]
//          [key=FILE] [discovery=on|off] [tls] [tls-ca=FILE] [tls-cert=FILE tls-key=FILE]
//          [tls-hostname=NAME]
//   remote ID [ID ...] [acked]
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pxrtool {

struct Config;

struct BridgeConfig {
    bool defined = false;
    int line = 0;
    std::vector<std::string> urls;
    std::string cluster;
    uint32_t module = 0xFE; // the bridge's own queue
    std::string node;       // empty: the host name
    std::string credentials;
    std::string key; // a file with the cluster's key: every frame is signed with it
    bool discovery = true;
    bool tls = false;
    std::string tls_ca, tls_cert, tls_key, tls_hostname;
    std::vector<uint32_t> remotes; // module ids the configuration places on other hosts
    std::vector<int> remote_lines;
    std::vector<uint32_t> acked; // of those, the ones whose messages go acknowledged
};

// Parses option words (key=value, or `tls`) into b. Each problem is one message in errors.
void parse_bridge_options(const std::vector<std::string> &words, BridgeConfig &b,
                          std::vector<std::string> &errors);

// Parses a `bridge` or `remote` line (tokens[0] names it). Returns false when the word is
// neither; errors receive the messages about the line.
bool parse_bridge_directive(Config &cfg, int line, const std::vector<std::string> &tokens,
                            std::vector<std::string> &errors);

// Whole-file checks and the entries the bridge needs: a queue for the bridge module, an
// alias to it for every remote module, and the bridge process as the first spawned one.
// Returns (line, message) pairs.
std::vector<std::pair<int, std::string>> finish_bridge(Config &cfg);

// The bridge program's arguments that reproduce b (no secrets: credentials stay in their file).
std::vector<std::string> bridge_arguments(const BridgeConfig &b);

// Path of the bridge program: PXR_BRIDGE_PROGRAM, else pxr-bridge beside the pxr command.
std::string bridge_program();

int cmd_bridge(int argc, char **argv);

// The counters of this environment's bridge (bridge_view.cpp): printed for `pxr bridge
// --stats` (1 when no bridge has run), as a `"bridge":{...}` member for `pxr status --json`
// and as one line for `pxr watch` (both empty without a bridge).
int print_bridge_stats(bool json);
std::string bridge_status_json();
// Whether the bridge running as pid has said that it is connected and has learnt its routes.
bool bridge_ready(int pid);
// Whether the bridge running as pid has dealt with the buffers its predecessor held.
bool bridge_took_over(int pid);
// The bridge's counters in the Prometheus text format, for `pxr metrics` (empty without one).
std::string bridge_metrics();
std::string bridge_watch_line();

} // namespace pxrtool

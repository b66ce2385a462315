#include "config_bridge.h"

#include "config.h"
#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pxrtool {

namespace {

bool name_ok(const std::string &s, std::size_t max) {
    if (s.empty() || s.size() > max) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// Credentials must not be readable by other users: the file holds a password or a key.
void check_private_file(const std::string &key, const std::string &path,
                        std::vector<std::string> &errors) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0)
        errors.push_back(key + " file '" + path + "' cannot be read");
    else if ((key == "credentials" || key == "key") && (st.st_mode & 077) != 0)
        errors.push_back(key + " file '" + path + "' is open to other users (chmod 600)");
}

bool in(const std::vector<uint32_t> &v, uint32_t m) {
    return std::find(v.begin(), v.end(), m) != v.end();
}

} // namespace

void parse_bridge_options(const std::vector<std::string> &words, BridgeConfig &b,
                          std::vector<std::string> &errors) {
    for (const std::string &w : words) {
        if (w == "tls") {
            b.tls = true;
            continue;
        }
        std::size_t eq = w.find('=');
        if (eq == std::string::npos) {
            errors.push_back("expected key=value, got '" + w + "'");
            continue;
        }
        std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        uint64_t v;
        if (key == "url") { // repeated for several servers
            if (value.find("://") == std::string::npos || value.find('@') != std::string::npos)
                errors.push_back("bad url (nats://HOST:PORT or tls://HOST:PORT; put "
                                 "credentials in credentials=FILE)");
            else
                b.urls.push_back(value);
        } else if (key == "cluster") {
            if (!name_ok(value, 32))
                errors.push_back("bad cluster name (1..32 letters, digits, '-' or '_')");
            b.cluster = value;
        } else if (key == "node") {
            if (!name_ok(value, 63))
                errors.push_back("bad node name (1..63 letters, digits, '-' or '_')");
            b.node = value;
        } else if (key == "module") {
            if (!parse_number(value, 254, v))
                errors.push_back("bad module '" + value + "' (a module id 0..254)");
            else
                b.module = uint32_t(v);
        } else if (key == "discovery") {
            if (value != "on" && value != "off") errors.push_back("discovery is on or off");
            b.discovery = value == "on";
        } else if (key == "remote" || key == "acked") { // the program's form of remote lines
            if (!parse_number(value, 254, v)) {
                errors.push_back("bad remote module '" + value + "'");
                continue;
            }
            b.remotes.push_back(uint32_t(v));
            if (key == "acked") b.acked.push_back(uint32_t(v));
        } else if (key == "credentials" || key == "key" || key == "tls-ca" || key == "tls-cert" ||
                   key == "tls-key") {
            check_private_file(key, value, errors);
            std::string &slot = key == "credentials" ? b.credentials
                                : key == "key"       ? b.key
                                : key == "tls-ca"    ? b.tls_ca
                                : key == "tls-cert"  ? b.tls_cert
                                                     : b.tls_key;
            slot = value;
        } else if (key == "tls-hostname") {
            b.tls_hostname = value;
        } else {
            errors.push_back("unknown bridge option '" + key + "'");
        }
    }
    if (b.tls_cert.empty() != b.tls_key.empty())
        errors.push_back("tls-cert and tls-key go together");
}

bool parse_bridge_directive(Config &cfg, int line, const std::vector<std::string> &tokens,
                            std::vector<std::string> &errors) {
    BridgeConfig &b = cfg.bridge;
    if (tokens[0] == "bridge") {
        if (b.defined) {
            errors.push_back("second bridge line (the first is line " + std::to_string(b.line) +
                             ")");
            return true;
        }
        std::vector<uint32_t> remotes = std::move(b.remotes), acked = std::move(b.acked);
        std::vector<int> remote_lines = std::move(b.remote_lines);
        b = BridgeConfig{};
        b.defined = true;
        b.line = line;
        parse_bridge_options({tokens.begin() + 1, tokens.end()}, b, errors);
        if (b.urls.empty()) errors.push_back("bridge needs url=nats://HOST:PORT");
        if (b.cluster.empty()) errors.push_back("bridge needs cluster=NAME");
        b.remotes.insert(b.remotes.begin(), remotes.begin(), remotes.end());
        b.remote_lines.insert(b.remote_lines.begin(), remote_lines.begin(), remote_lines.end());
        b.acked.insert(b.acked.begin(), acked.begin(), acked.end());
        return true;
    }
    if (tokens[0] != "remote") return false;
    const bool acked = tokens.back() == "acked"; // the line's modules go acknowledged
    if (tokens.size() < 2u + acked) errors.push_back("remote needs at least one module id");
    for (std::size_t i = 1; i < tokens.size() - acked; ++i) {
        uint64_t v;
        if (!parse_number(tokens[i], 254, v))
            errors.push_back("bad module id '" + tokens[i] + "' (a module id 0..254)");
        else if (in(b.remotes, uint32_t(v)))
            errors.push_back("module " + hex(uint32_t(v)) + " is already remote");
        else {
            b.remotes.push_back(uint32_t(v));
            b.remote_lines.push_back(line);
            if (acked) b.acked.push_back(uint32_t(v));
        }
    }
    return true;
}

std::vector<std::pair<int, std::string>> finish_bridge(Config &cfg) {
    std::vector<std::pair<int, std::string>> out;
    BridgeConfig &b = cfg.bridge;
    if (!b.defined) {
        if (!b.remotes.empty()) out.emplace_back(b.remote_lines[0], "remote needs a bridge line");
        return out;
    }
    // A module served here: its own queue, an alias or a group.
    auto local = [&](uint32_t m) {
        if (in(cfg.queues, m)) return true;
        for (const AliasConfig &a : cfg.aliases)
            if (a.module == m) return true;
        for (const GroupConfig &g : cfg.groups)
            if (g.module == m) return true;
        return false;
    };
    if (local(b.module))
        out.emplace_back(b.line, "bridge module " + hex(b.module) + " has a queue, alias or group");
    for (std::size_t i = 0; i < b.remotes.size(); ++i) {
        uint32_t m = b.remotes[i];
        if (local(m) || m == b.module)
            out.emplace_back(b.remote_lines[i], "module " + hex(m) + " is local, not remote");
    }
    std::string program = bridge_program();
    if (access(program.c_str(), X_OK) != 0)
        out.emplace_back(b.line, "bridge program '" + program + "' not found");
    if (!out.empty()) return out;
    cfg.queues.push_back(b.module);
    // An acknowledged module has a queue of its own, which the bridge stops taking from when
    // its window is full: its senders then meet a full queue, and the other modules do not.
    for (std::size_t i = 0; i < b.remotes.size(); ++i)
        if (in(b.acked, b.remotes[i]))
            cfg.queues.push_back(b.remotes[i]);
        else
            cfg.aliases.push_back(AliasConfig{b.remotes[i], b.module, b.remote_lines[i]});
    SpawnConfig s;
    s.program = program;
    s.argv.push_back("pxr-bridge");
    s.restart = RestartPolicy::Always; // killed or crashed: the loader starts it again
    for (std::string &a : bridge_arguments(b)) s.argv.push_back(std::move(a));
    s.line = b.line;
    cfg.spawns.insert(cfg.spawns.begin(), std::move(s)); // first: the loader waits for it
    return out;
}

std::vector<std::string> bridge_arguments(const BridgeConfig &b) {
    std::vector<std::string> a;
    for (const std::string &u : b.urls) a.push_back("url=" + u);
    a.push_back("cluster=" + b.cluster);
    a.push_back("module=" + hex(b.module));
    if (!b.node.empty()) a.push_back("node=" + b.node);
    if (!b.credentials.empty()) a.push_back("credentials=" + b.credentials);
    if (!b.key.empty()) a.push_back("key=" + b.key);
    if (!b.discovery) a.push_back("discovery=off");
    if (b.tls) a.push_back("tls");
    if (!b.tls_ca.empty()) a.push_back("tls-ca=" + b.tls_ca);
    if (!b.tls_cert.empty()) a.push_back("tls-cert=" + b.tls_cert);
    if (!b.tls_key.empty()) a.push_back("tls-key=" + b.tls_key);
    if (!b.tls_hostname.empty()) a.push_back("tls-hostname=" + b.tls_hostname);
    for (uint32_t m : b.remotes) a.push_back((in(b.acked, m) ? "acked=" : "remote=") + hex(m));
    return a;
}

std::string bridge_program() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the pxr command is single-threaded
    if (const char *path = std::getenv("PXR_BRIDGE_PROGRAM"); path != nullptr && *path != '\0')
        return path;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "pxr-bridge";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    return dir + "pxr-bridge";
}

// The bridge is a program of its own (it links the NATS client); `pxr bridge` hands over.
int cmd_bridge(int argc, char **argv) {
    std::string program = bridge_program();
    std::vector<char *> args;
    args.push_back(program.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the pxr command is single-threaded
    std::fprintf(stderr, "pxr bridge: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
    return kExitFailure;
}

} // namespace pxrtool

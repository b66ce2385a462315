#include "config.h"
#include "tool.h"

#include "pxrlib.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace pxrtool {

bool Config::atomic() const {
    return (init_flags & PXR_INIT_ATOMIC) != 0;
}

bool parse_number(std::string_view text, uint64_t max, uint64_t &value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        const int digit = digit_value(c, base);
        if (digit < 0) return false;
        const auto d = unsigned(digit);
        if (d > max || v > (max - d) / base) return false; // v * base + d would exceed max
        v = v * base + d;
    }
    value = v;
    return true;
}

bool program_exists(const std::string &program, const char *search_path) {
    auto executable = [](const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    };
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return executable(program);
    const char *path = search_path != nullptr ? search_path : std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/bin:/usr/bin";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        // An empty PATH element means the current directory.
        std::string candidate = end > begin ? dirs.substr(begin, end - begin) : std::string(".");
        candidate += '/';
        candidate += program;
        if (executable(candidate)) return true;
        begin = end + 1;
    }
    return false;
}

namespace {

constexpr uint32_t kMaxModule = 254;

// Collects the errors of one file, each with the line it belongs to; they are handed out
// in line order, errors about the file as a whole last.

// The line as echoed in an error: a password or token written into a URL ("nats://u:p@h")
// is replaced by "***", so that a configuration error never prints a credential.
std::string without_userinfo(std::string_view raw) {
    std::string text(raw);
    for (std::size_t at = text.find("://"); at != std::string::npos; at = text.find("://", at)) {
        at += 3;
        const std::size_t end = text.find_first_of("@ \t\"/", at);
        if (end != std::string::npos && text[end] == '@') text.replace(at, end - at, "***");
    }
    return text;
}
class Reporter {
  public:
    explicit Reporter(std::string_view name) : name_(name) {}

    void at(int line, std::string_view raw, const std::string &message) {
        std::string text = printable(without_userinfo(raw));
        if (text.size() > 72) {
            std::size_t cut = 69;
            std::size_t esc = text.rfind('\\', cut);
            if (esc != std::string::npos && esc + 4 > cut) cut = esc; // keep \xNN whole
            text = text.substr(0, cut) + "...";
        }
        found_.emplace_back(line, name_ + ":" + std::to_string(line) + ": " + printable(message) +
                                      ": " + text);
    }
    void file(const std::string &message) {
        found_.emplace_back(INT_MAX, name_ + ": " + printable(message));
    }
    bool empty() const { return found_.empty(); }
    void hand_out(std::vector<std::string> &errors) {
        std::stable_sort(found_.begin(), found_.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        std::size_t shown = 0;
        for (auto &f : found_) {
            if (shown == kMaxErrors) break;
            errors.push_back(std::move(f.second));
            ++shown;
        }
        if (found_.size() > shown)
            errors.push_back(name_ + ": ... and " + std::to_string(found_.size() - shown) +
                             " more");
        found_.clear();
    }

    // Bytes that would reach a terminal as control characters are shown as \xNN.
    static std::string printable(std::string_view raw) {
        std::string out;
        for (char ch : raw) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (c >= 0x20 && c < 0x7F) {
                out += ch;
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            }
        }
        return out;
    }

  private:
    std::string name_;
    std::vector<std::pair<int, std::string>> found_;
};

// Turns the tokenizer's fixed error texts into a short message of ours.
std::string describe_syntax_error(const char *err) {
    const char *mark = std::strstr(err, "Invalid character : >");
    if (mark != nullptr) {
        unsigned char c = static_cast<unsigned char>(mark[std::strlen("Invalid character : >")]);
        char buf[48];
        if (c > 32 && c < 127)
            std::snprintf(buf, sizeof buf, "invalid character '%c'", c);
        else
            std::snprintf(buf, sizeof buf, "invalid character 0x%02x", c);
        return buf;
    }
    if (std::strstr(err, "quote") != nullptr) return "unbalanced quote";
    if (std::strstr(err, "overflow") != nullptr) return "line too long";
    return "syntax error";
}

struct Line {
    int number;
    std::string_view raw; // the line as written, without its line end
    std::vector<std::string> tokens;
};

class Parser {
  public:
    Parser(Config &config, Reporter &report, std::string base)
        : cfg_(config), report_(report), base_(std::move(base)) {}

    void directive(const Line &line) {
        const std::string &word = line.tokens[0];
        if (word == "environment")
            environment(line);
        else if (word == "partition")
            partition(line);
        else if (word == "queue")
            queue(line);
        else if (word == "alias")
            alias(line);
        else if (word == "group")
            group(line);
        else if (word == "spawn")
            spawn(line);
        else if (std::vector<std::string> e;
                 parse_bridge_directive(cfg_, line.number, line.tokens, e))
            for (const std::string &m : e) error(line, m);
        else
            error(line, "unknown directive '" + word + "'");
    }

    // Checks that need the whole file.
    void finish() {
        for (const auto &[n, m] : finish_bridge(cfg_)) error(lines_.at(n), m);
        bool any_partition = false;
        for (int p = 0; p < 2; ++p) {
            const PartitionConfig &part = cfg_.partitions[p];
            if (!part.defined) continue;
            any_partition = true;
            const Line &line = lines_.at(part.line);
            if (cfg_.atomic() && part.buffers < 2)
                error(line, "an atomic environment needs at least 2 buffers per partition");
            if (cfg_.atomic() && part.size % 4 != 0)
                error(line, "an atomic environment needs a size that is a multiple of 4");
            if (part.onset > 0 && !has_receiver(cfg_.congestion_module))
                error(line, "congestion module " + hex(cfg_.congestion_module) +
                                " has no queue or alias (set congestion= in the environment "
                                "line)");
        }
        if (!any_partition)
            report_.file("no partition defined (add e.g. 'partition 0 "
                         "buffers=100 size=256')");
        for (const AliasConfig &a : cfg_.aliases) {
            if (!is_queue(a.target))
                error(lines_.at(a.line), "alias target " + hex(a.target) +
                                             " has no queue (add 'queue " + hex(a.target) + "')");
        }
        for (const GroupConfig &g : cfg_.groups)
            for (uint8_t m : g.members)
                if (!is_queue(m))
                    error(lines_.at(g.line), "group member " + hex(m) +
                                                 " has no queue of its own (add 'queue " + hex(m) +
                                                 "')");
        if (cfg_.spawns.size() > PXR_MAX_PROCESSES)
            report_.file("more than " + std::to_string(PXR_MAX_PROCESSES) + " spawn lines");
    }

    void remember(const Line &line) { lines_.emplace(line.number, line); }

  private:
    // The raw text of the lines that hold directives, for errors found at the end.
    class LineStore {
      public:
        void emplace(int number, const Line &line) { raws_[number] = std::string(line.raw); }
        Line at(int number) const {
            auto it = raws_.find(number);
            return Line{number, it != raws_.end() ? std::string_view(it->second) : "", {}};
        }

      private:
        std::map<int, std::string> raws_;
    };

    void error(const Line &line, const std::string &message) {
        report_.at(line.number, line.raw, message);
    }

    bool module_id(const Line &line, const std::string &text, const char *what, uint32_t &id) {
        uint64_t v;
        if (!parse_number(text, kMaxModule, v)) {
            error(line, std::string("bad ") + what + " '" + text + "' (a module id 0..254)");
            return false;
        }
        id = uint32_t(v);
        return true;
    }

    // Splits key=value; false (with an error) when the word has no '='.
    bool option(const Line &line, const std::string &word, std::string &key, std::string &value) {
        std::size_t eq = word.find('=');
        if (eq == std::string::npos) {
            error(line, "expected key=value, got '" + word + "'");
            return false;
        }
        key = word.substr(0, eq);
        value = word.substr(eq + 1);
        return true;
    }

    // A key (or flag word) may appear once per line; false (with an error) the second time.
    bool first_use(const Line &line, const std::string &key) {
        if (line_keys_line_ != line.number) {
            line_keys_.clear();
            line_keys_line_ = line.number;
        }
        if (line_keys_.insert(key).second) return true;
        error(line, key + " given twice on one line");
        return false;
    }

    bool number_option(const Line &line, const std::string &key, const std::string &value,
                       uint64_t max, uint64_t &out) {
        if (parse_number(value, max, out)) return true;
        error(line, "bad value for " + key + ": '" + value + "' (0.." + std::to_string(max) + ")");
        return false;
    }

    void environment(const Line &line) {
        if (environment_line_ != 0) {
            error(line, "second environment line (the first is line " +
                            std::to_string(environment_line_) + ")");
            return;
        }
        environment_line_ = line.number;
        for (std::size_t i = 1; i < line.tokens.size(); ++i) {
            const std::string &word = line.tokens[i];
            if (!first_use(line, word.substr(0, word.find('=')))) continue;
            if (word == "atomic") {
                cfg_.init_flags |= PXR_INIT_ATOMIC;
            } else if (word == "error-print") {
                cfg_.init_flags |= PXR_INIT_ERROR_PRINT;
            } else if (word == "no-attach") {
                cfg_.init_flags |= PXR_INIT_NO_ATTACH;
            } else if (word == "ring-queues") {
                cfg_.ring_capacity = kDefaultRingCapacity;
            } else if (word.find('=') != std::string::npos) {
                std::string key, value;
                option(line, word, key, value);
                uint64_t v;
                if (key == "fatal-action") {
                    if (number_option(line, key, value, 15, v))
                        cfg_.init_flags |= PXR_INIT_FATAL_ACTION(v);
                } else if (key == "congestion") {
                    uint32_t id;
                    if (module_id(line, value, "congestion module", id))
                        cfg_.congestion_module = id;
                } else if (key == "access") {
                    if (value == "0600" || value == "0660" || value == "0666")
                        cfg_.access = int32_t(std::stoi(value, nullptr, 8));
                    else
                        error(line, "bad value for access: '" + value + "' (0600, 0660 or 0666)");
                } else if (key == "receive-spin") {
                    if (number_option(line, key, value, 1000000, v))
                        cfg_.receive_spin_us = int64_t(v);
                } else if (key == "ring-queues") {
                    if (!parse_number(value, 65536, v) || v < 16 || (v & (v - 1)) != 0)
                        error(line, "bad value for ring-queues: '" + value +
                                        "' (a power of two from 16 to 65536)");
                    else
                        cfg_.ring_capacity = uint32_t(v);
                } else {
                    error(line, "unknown environment option '" + key + "'");
                }
            } else {
                error(line, "unknown environment option '" + word + "'");
            }
        }
    }

    void partition(const Line &line) {
        if (line.tokens.size() < 2) {
            error(line, "partition needs a number (0 or 1)");
            return;
        }
        uint64_t p;
        if (!parse_number(line.tokens[1], 1, p)) {
            error(line, "bad partition number '" + line.tokens[1] + "' (0 or 1)");
            return;
        }
        PartitionConfig &part = cfg_.partitions[p];
        if (part.defined) {
            error(line, "partition " + std::to_string(p) + " defined twice (first on line " +
                            std::to_string(part.line) + ")");
            return;
        }
        PartitionConfig next;
        next.line = line.number;
        bool ok = true, have_buffers = false, have_size = false, have_onset = false,
             have_abate = false;
        for (std::size_t i = 2; i < line.tokens.size(); ++i) {
            std::string key, value;
            if (!option(line, line.tokens[i], key, value) || !first_use(line, key)) {
                ok = false;
                continue;
            }
            uint64_t v = 0;
            if (key == "buffers") {
                ok = number_option(line, key, value, 65000, v) && ok;
                if (ok && v == 0) {
                    error(line, "buffers must be at least 1");
                    ok = false;
                }
                next.buffers = int32_t(v);
                have_buffers = true;
            } else if (key == "size") {
                ok = number_option(line, key, value, 0x7FFFFFFF, v) && ok;
                next.size = uint32_t(v);
                have_size = true;
            } else if (key == "onset") {
                ok = number_option(line, key, value, 65000, v) && ok;
                next.onset = uint32_t(v);
                have_onset = true;
            } else if (key == "abate") {
                ok = number_option(line, key, value, 65000, v) && ok;
                next.abate = uint32_t(v);
                have_abate = true;
            } else {
                error(line, "unknown partition option '" + key + "'");
                ok = false;
            }
        }
        if (!ok) return;
        if (!have_buffers || !have_size) {
            error(line, "partition needs buffers=N and size=BYTES");
            return;
        }
        if (uint64_t(next.buffers) * (uint64_t(next.size) + PXR_SLOT_OVERHEAD) > 0x7FFFFFFF) {
            error(line, "partition too large (buffers x (size + 72) must stay below 2 GiB)");
            return;
        }
        if (have_onset != have_abate) {
            error(line, "onset and abate go together");
            return;
        }
        if (next.onset > 0 &&
            (next.onset > uint32_t(next.buffers) || next.abate == 0 || next.abate >= next.onset)) {
            error(line, "congestion levels need 0 < abate < onset <= buffers");
            return;
        }
        next.defined = true;
        part = next;
    }

    bool is_queue(uint32_t m) const {
        return std::find(cfg_.queues.begin(), cfg_.queues.end(), m) != cfg_.queues.end();
    }
    const AliasConfig *find_alias(uint32_t m) const {
        for (const AliasConfig &a : cfg_.aliases)
            if (a.module == m) return &a;
        return nullptr;
    }
    bool has_receiver(uint32_t m) const { return is_queue(m) || find_alias(m) != nullptr; }
    bool is_group(uint32_t m) const {
        for (const GroupConfig &g : cfg_.groups)
            if (g.module == m) return true;
        return false;
    }
    // A module id that is already a queue, an alias or a group: the error, else empty.
    std::string taken(uint32_t m) const {
        if (is_queue(m)) return "module " + hex(m) + " already has a queue";
        if (find_alias(m) != nullptr) return "module " + hex(m) + " is already an alias";
        if (is_group(m)) return "module " + hex(m) + " is already a group";
        return "";
    }

    void queue(const Line &line) {
        if (line.tokens.size() < 2) {
            error(line, "queue needs at least one module id");
            return;
        }
        for (std::size_t i = 1; i < line.tokens.size(); ++i) {
            uint32_t m;
            if (!module_id(line, line.tokens[i], "module id", m)) continue;
            if (const std::string e = taken(m); !e.empty())
                error(line, e);
            else
                cfg_.queues.push_back(m);
        }
    }

    void alias(const Line &line) {
        if (line.tokens.size() != 3) {
            error(line, "alias needs a module id and a target module id");
            return;
        }
        uint32_t m, t;
        if (!module_id(line, line.tokens[1], "module id", m) ||
            !module_id(line, line.tokens[2], "target module id", t))
            return;
        if (m == t) {
            error(line, "a module cannot be an alias of itself");
        } else if (const AliasConfig *a = find_alias(m)) {
            error(line, "module " + hex(m) + " is already an alias (line " +
                            std::to_string(a->line) + ")");
        } else if (const std::string e = taken(m); !e.empty()) {
            error(line, e);
        } else {
            cfg_.aliases.push_back(AliasConfig{m, t, line.number});
        }
    }

    void group(const Line &line) {
        GroupConfig g;
        g.line = line.number;
        std::size_t i = 2;
        if (line.tokens.size() > 2 && line.tokens[2] == "all-or-nothing") {
            g.all_or_nothing = true;
            ++i;
        }
        if (line.tokens.size() < i + 1 || line.tokens.size() > i + PXR_GROUP_MEMBERS) {
            error(line, "group needs a module id and 1 to 16 member module ids");
            return;
        }
        if (!module_id(line, line.tokens[1], "module id", g.module)) return;
        if (const std::string e = taken(g.module); !e.empty()) return error(line, e);
        for (; i < line.tokens.size(); ++i) {
            uint32_t m;
            if (!module_id(line, line.tokens[i], "member module id", m)) return;
            if (m == g.module ||
                std::find(g.members.begin(), g.members.end(), m) != g.members.end())
                return error(line, "member " + hex(m) + " is the group itself or named twice");
            g.members.push_back(uint8_t(m));
        }
        cfg_.groups.push_back(std::move(g));
    }

    // A path relative to the folder of the configuration file.
    std::string beside_file(const std::string &path) const {
        return path.empty() || path[0] == '/' ? path : base_ + "/" + path;
    }

    static bool env_name(std::string_view n) {
        if (n.empty() || (n[0] >= '0' && n[0] <= '9')) return false;
        for (char c : n)
            if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                  (c >= 'A' && c <= 'Z')))
                return false;
        return true;
    }

    // CPU numbers and ranges (0:2-3 or 0,2-3) into cpus; false (with an error) when not valid.
    bool cpu_list(const Line &line, const std::string &value, std::vector<uint16_t> &cpus) {
        std::size_t at = 0;
        while (at <= value.size()) {
            const std::size_t end = std::min(value.find_first_of(",:", at), value.size());
            const std::string item = value.substr(at, end - at);
            const std::size_t dash = item.find('-');
            uint64_t first, last;
            if (!parse_number(item.substr(0, dash), kMaxCpu, first) ||
                !parse_number(dash == std::string::npos ? item : item.substr(dash + 1), kMaxCpu,
                              last) ||
                last < first) {
                error(line, "bad cpu list '" + value + "' (CPU numbers below " +
                                std::to_string(kMaxCpu + 1) + " and ranges, as 0:2-3)");
                return false;
            }
            for (uint64_t c = first; c <= last; ++c) cpus.push_back(uint16_t(c));
            at = end + 1;
        }
        return true;
    }

    // One spawn option; false (with an error) when it is not valid.
    bool spawn_option(const Line &line, const std::string &word, SpawnConfig &s) {
        if (word == "critical") {
            if (!first_use(line, word)) return false;
            s.critical = true;
            return true;
        }
        std::string key, value;
        if (!option(line, word, key, value)) return false;
        if (key == "env") {
            std::size_t eq = value.find('=');
            if (eq == std::string::npos || !env_name(std::string_view(value).substr(0, eq))) {
                error(line, "env needs NAME=VALUE, got '" + value + "'");
                return false;
            }
            if (!first_use(line, "env " + value.substr(0, eq))) return false;
            s.env.push_back(value);
            return true;
        }
        if (!first_use(line, key)) return false;
        if (key == "restart") {
            static const std::pair<const char *, RestartPolicy> kPolicies[] = {
                {"no", RestartPolicy::No},
                {"on-failure", RestartPolicy::OnFailure},
                {"always", RestartPolicy::Always}};
            for (const auto &[name, policy] : kPolicies) {
                if (value == name) {
                    s.restart = policy;
                    return true;
                }
            }
            error(line, "bad restart '" + value + "' (no, on-failure or always)");
            return false;
        }
        if (key == "restart-limit") {
            uint64_t v;
            if (!number_option(line, key, value, 1000000, v)) return false;
            s.restart_limit = uint32_t(v);
            return true;
        }
        if (key == "restart-delay") {
            uint64_t v;
            if (!number_option(line, key, value, 60000, v)) return false;
            s.restart_delay_ms = uint32_t(v);
            return true;
        }
        if (key == "cpu") return cpu_list(line, value, s.cpus);
        if (key == "cwd") {
            struct stat st;
            s.cwd = beside_file(value);
            if (value.empty() || stat(s.cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                error(line, "cwd '" + value + "' is not a folder");
                return false;
            }
            return true;
        }
        error(line, "unknown spawn option '" + key +
                        "' (put -- before a program whose name "
                        "holds '=')");
        return false;
    }

    static bool spawn_option_word(const std::string &w) {
        static const char *const kKeys[] = {
            "critical", "restart=", "restart-limit=", "restart-delay=", "cwd=", "env=", "cpu="};
        for (const char *k : kKeys)
            if (w == k || (k[std::strlen(k) - 1] == '=' && w.rfind(k, 0) == 0)) return true;
        return w.find('=') != std::string::npos; // an unknown option, reported as such
    }

    void spawn(const Line &line) {
        SpawnConfig s;
        s.line = line.number;
        std::size_t i = 1;
        bool ok = true;
        for (; i < line.tokens.size(); ++i) {
            const std::string &w = line.tokens[i];
            if (w == "--") {
                ++i;
                break;
            }
            if (!spawn_option_word(w)) break;
            ok = spawn_option(line, w, s) && ok;
        }
        if (i >= line.tokens.size()) {
            error(line, "spawn needs a program");
            return;
        }
        if (!ok) return;
        s.argv.assign(line.tokens.begin() + long(i), line.tokens.end());
        const std::string &written = s.argv[0];
        s.program = written.find('/') != std::string::npos ? beside_file(written) : written;
        const char *search_path = nullptr;
        for (const std::string &e : s.env)
            if (e.rfind("PATH=", 0) == 0) search_path = e.c_str() + 5;
        if (!program_exists(s.program, search_path)) {
            error(line, "program '" + written + "' not found or not executable" +
                            (s.program != written ? " (looked for " + s.program + ")" : ""));
            return;
        }
        cfg_.spawns.push_back(std::move(s));
    }

    Config &cfg_;
    Reporter &report_;
    std::string base_; // folder of the configuration file
    std::set<std::string> line_keys_;
    int line_keys_line_ = 0;
    int environment_line_ = 0;
    LineStore lines_;
};

// The folder of a file, absolute when it can be resolved (a spawned process may change its
// working directory before its program is looked up).
std::string folder_of(std::string_view file) {
    std::size_t slash = file.rfind('/');
    std::string dir = slash == std::string_view::npos ? "." : std::string(file.substr(0, slash));
    if (dir.empty()) dir = "/";
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) != nullptr) return resolved;
    return dir;
}

// Counts the line ends in text[from, to): an LF, or a CR not followed by an LF.
int count_line_ends(std::string_view text, std::size_t from, std::size_t to) {
    int n = 0;
    for (std::size_t i = from; i < to; ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')))
            ++n;
    return n;
}

} // namespace

bool parse_config(std::string_view text, std::string_view name, Config &out,
                  std::vector<std::string> &errors) {
    errors.clear();
    out = Config{};
    Reporter report(name);
    Parser parser(out, report, folder_of(name));
    if (text.empty()) {
        parser.finish();
        report.hand_out(errors);
        return errors.empty();
    }

    std::string copy(text);
    FILE *stream = fmemopen(copy.data(), copy.size(), "r");
    if (stream == nullptr) {
        report.file("cannot read the configuration");
        report.hand_out(errors);
        return false;
    }
    char buf[kMaxLineLength + 2];
    char err[2 * kMaxLineLength + 128];
    char *tokens[kMaxLineLength];
    std::size_t counted_to = 0;
    int line_number = 1;
    for (;;) {
        long start = ftell(stream);
        int n = utl_read_line(stream, buf, kMaxLineLength + 1);
        if (n < 0) break;
        long end = ftell(stream);
        line_number += count_line_ends(text, counted_to, std::size_t(start));
        counted_to = std::size_t(start);

        std::string_view raw = text.substr(std::size_t(start), std::size_t(end - start));
        while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);

        if (n == kMaxLineLength + 1 && buf[n - 1] != '\n') {
            // Too long: skip the rest of the physical line, which arrives in pieces.
            std::string_view shown = raw;
            int m;
            do {
                m = utl_read_line(stream, buf, kMaxLineLength + 1);
            } while (m > 0 && buf[m - 1] != '\n');
            report.at(line_number, shown,
                      "line longer than " + std::to_string(kMaxLineLength) + " characters");
            continue;
        }

        buf[n] = '\0';
        err[0] = '\0';
        int count = kMaxLineLength;
        if (utl_parse_line(buf, n, &count, tokens, err) != 0) {
            report.at(line_number, raw, describe_syntax_error(err));
            continue;
        }
        if (count == 0) continue;
        Line line{line_number, raw, {}};
        line.tokens.assign(tokens, tokens + count);
        parser.remember(line);
        parser.directive(line);
    }
    fclose(stream);
    parser.finish();
    report.hand_out(errors);
    return errors.empty();
}

bool read_config_file(const char *path, Config &out, std::vector<std::string> &errors,
                      bool *unreadable) {
    constexpr off_t kMaxFile = off_t{16} * 1024 * 1024;
    errors.clear();
    if (unreadable != nullptr) *unreadable = false;
    auto fail = [&](const std::string &message) {
        if (unreadable != nullptr) *unreadable = true;
        errors.push_back(Reporter::printable(path) + ": " + message);
        return false;
    };
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
    struct stat st;
    std::string text;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
        close(fd);
        return fail("is a folder, not a configuration file");
    }
    char buf[65536];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buf, std::size_t(n));
        if (off_t(text.size()) > kMaxFile) {
            close(fd);
            return fail("larger than 16 MiB; not a configuration file");
        }
    }
    int saved = errno;
    close(fd);
    if (!ok) return fail(std::string("cannot read: ") + std::strerror(saved));
    return parse_config(text, path, out, errors);
}

} // namespace pxrtool
